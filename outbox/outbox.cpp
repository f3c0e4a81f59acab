#include "outbox/outbox.h"

#include "outbox/lines.h"
#include "platform/platform.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace outbox {

using Clock = std::chrono::steady_clock;

namespace {

// An answer has no `done`; a notification has one, and a deadline.
struct Line {
  std::string text;
  Delivered done;
  Clock::time_point deadline;
  size_t sent = 0;  // bytes already on the descriptor
};

void answerAll(std::vector<Line>& lines, Delivery how) {
  for (auto& line : lines) {
    if (line.done) {
      std::exchange(line.done, {})(how);
    }
  }
}

}  // namespace

struct Outbox::State : std::enable_shared_from_this<State> {
  int fd = -1;
  std::mutex lock;
  std::condition_variable wake;     // the writer waits for work
  std::condition_variable settled;  // an end waits for the writer
  std::optional<Line> begun;        // partly written: goes on before anything else
  std::deque<Line> answers;
  std::deque<Line> pushes;
  size_t pushBytes = 0;
  bool ready = false;
  bool writing = false;  // a thread is writing to `fd`, the lock released
  bool direct = true;    // `fd` can be written without waiting
  bool closed = false;   // nothing more is taken
  bool stop = false;     // the writer returns at its next turn
  bool started = false;  // the writer may run
  std::function<void()> onGone;
  std::thread writer;  // made on first need: most lines never wait for it

  void wakeWriter() {
    if (started && !writer.joinable()) {
      writer = std::thread(writerLoop, shared_from_this());
    }
    wake.notify_one();
  }
  bool pushesDue() const { return ready && !pushes.empty(); }
  bool idle() const { return !writing && !begun && answers.empty() && !pushesDue(); }

  Line takePush() {
    Line front = std::move(pushes.front());
    pushes.pop_front();
    pushBytes -= front.text.size();
    return front;
  }
  // The begun line, answers, then notifications once ready, in arrival order, bounded.
  void takeBatch(std::vector<Line>& into) {
    size_t bytes = 0;
    auto room = [&](const Line& line) {
      bool fits = into.size() < MAX_BATCH_LINES && bytes + line.text.size() <= MAX_BATCH_BYTES;
      bytes += line.text.size();
      return into.empty() || fits;
    };
    if (begun) {
      room(*begun);
      into.push_back(std::move(*begun));
      begun.reset();
    }
    while (!answers.empty() && room(answers.front())) {
      into.push_back(std::move(answers.front()));
      answers.pop_front();
    }
    while (answers.empty() && pushesDue() && room(pushes.front())) {
      into.push_back(takePush());
    }
  }
  // Writes what `fd` takes at once of `text`, the lock released meanwhile: the bytes written.
  size_t writeWithoutWaiting(std::string_view text, std::unique_lock<std::mutex>& hold) {
    writing = true;
    hold.unlock();
    ssize_t n = platform::writeWithoutWaiting(fd, text.data(), text.size());
    int err = errno;
    hold.lock();
    writing = false;
    settled.notify_all();
    // Anything but a full descriptor (a terminal, a file, a failure) is the writer's to handle.
    direct = direct && (n > 0 || err == EAGAIN || err == EWOULDBLOCK || err == EINTR);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }
  // With nothing ahead of `line`: writes what `fd` takes of it at once. True when all of it went,
  // with what queued meanwhile (whole lines moved to `written`, to be answered once the lock is
  // released); otherwise line.sent says how much did.
  bool writeNow(Line& line, std::vector<Line>& written, std::unique_lock<std::mutex>& hold) {
    line.sent = writeWithoutWaiting(line.text, hold);
    if (line.sent < line.text.size()) {
      return false;
    }
    takeOverQueue(written, hold);
    return true;
  }
  // What queued behind a direct write goes out from the same thread, once, in one write: waking
  // the writer thread for it, and handing each answer back, cost more than the write itself.
  // Stale notifications, and what the descriptor does not take at once, are left to the writer.
  void takeOverQueue(std::vector<Line>& written, std::unique_lock<std::mutex>& hold) {
    bool stale = !pushes.empty() && pushes.front().deadline <= Clock::now();
    size_t from = written.size();
    if (direct && !stale && !idle()) {
      takeBatch(written);
      std::string bytes;
      for (size_t i = from; i < written.size(); ++i) {
        bytes.append(written[i].text, written[i].sent);
      }
      size_t left = writeWithoutWaiting(bytes, hold);
      size_t whole = from;
      for (; whole < written.size() && left >= written[whole].text.size() - written[whole].sent;
           ++whole) {
        left -= written[whole].text.size() - written[whole].sent;
      }
      if (whole < written.size()) {
        written[whole].sent += left;
      }
      // The rest goes back where it was, in its order.
      while (written.size() > whole) {
        putBack(std::move(written.back()));
        written.pop_back();
      }
    }
    if (!idle()) {
      wakeWriter();
    }
  }
  void putBack(Line line) {
    if (line.sent > 0) {
      begun = std::move(line);
    } else if (line.done) {
      pushBytes += line.text.size();
      pushes.push_front(std::move(line));
    } else {
      answers.push_front(std::move(line));
    }
  }
  // Hands `line` to the writer: to finish first when part of it is out; ahead of its queue when
  // nothing queued came before it (`first`). A thread writing now takes it when done.
  void queue(Line line, std::deque<Line>& into, bool first) {
    if (line.sent > 0) {
      begun = std::move(line);
    } else {
      pushBytes += &into == &pushes ? line.text.size() : 0;
      if (first) {
        into.push_front(std::move(line));
      } else {
        into.push_back(std::move(line));
      }
    }
    if (!writing) {
      wakeWriter();
    }
  }
};

void Outbox::writerLoop(const std::shared_ptr<State>& state) {
  State& s = *state;
  std::vector<Line> batch;
  std::vector<std::string_view> texts;
  std::unique_lock<std::mutex> hold(s.lock);
  while (!s.stop) {
    // Arrival order is deadline order, so the stale ones are at the front.
    while (!s.pushes.empty() && s.pushes.front().deadline <= Clock::now()) {
      batch.push_back(s.takePush());
    }
    if (!batch.empty()) {
      Delivery how = s.ready ? Delivery::Busy : Delivery::NotReady;
      hold.unlock();
      answerAll(batch, how);
      batch.clear();
      s.settled.notify_all();
      hold.lock();
      continue;
    }
    if (!s.writing) {
      s.takeBatch(batch);
    }
    if (batch.empty()) {
      if (s.pushes.empty()) {
        s.wake.wait(hold);
      } else {
        // A copy: while we wait, a direct writer may take that push and free its place.
        auto until = s.pushes.front().deadline;
        s.wake.wait_until(hold, until);
      }
      continue;
    }
    s.writing = true;
    hold.unlock();
    texts.clear();
    for (const auto& line : batch) {
      texts.push_back(line.text);
    }
    size_t whole = writeLines(s.fd, texts, batch.front().sent, [&batch](size_t i) {
      if (batch[i].done) {
        std::exchange(batch[i].done, {})(Delivery::Written);
      }
    });
    bool failed = whole < batch.size();
    if (!failed) {
      batch.clear();
    }
    hold.lock();
    s.writing = false;
    s.settled.notify_all();
    if (!failed) {
      continue;
    }
    s.closed = true;
    while (!s.pushes.empty()) {
      batch.push_back(s.takePush());
    }
    hold.unlock();
    answerAll(batch, Delivery::Gone);
    if (s.onGone) {
      s.onGone();
    }
    return;
  }
}

Outbox::Outbox(int fd) : m_state(std::make_shared<State>()) {
  m_state->fd = fd;
}

Outbox::~Outbox() {
  close(std::chrono::milliseconds(0));
  {
    std::lock_guard<std::mutex> hold(m_state->lock);
    m_state->stop = true;
    m_state->wake.notify_one();
  }
  if (m_state->writer.joinable()) {
    m_state->writer.join();
  }
}

void Outbox::start(std::function<void()> onGone) {
  std::lock_guard<std::mutex> hold(m_state->lock);
  if (!m_state->started) {
    m_state->started = true;
    m_state->onGone = std::move(onGone);
    if (!m_state->idle()) {
      m_state->wakeWriter();
    }
  }
}

void Outbox::answer(std::string text) {
  State& s = *m_state;
  std::unique_lock<std::mutex> hold(s.lock);
  if (s.closed) {
    return;
  }
  Line line{std::move(text), {}, {}};
  // Answers go ahead of notifications: only a line being written comes before this one.
  bool first = s.direct && !s.writing && !s.begun && s.answers.empty();
  std::vector<Line> written;
  if (!first || !s.writeNow(line, written, hold)) {
    s.queue(std::move(line), s.answers, first);
  }
  hold.unlock();
  answerAll(written, Delivery::Written);
}

std::optional<Delivery> Outbox::notify(std::string text, Delivered done) {
  State& s = *m_state;
  std::unique_lock<std::mutex> hold(s.lock);
  if (s.closed) {
    return Delivery::Gone;
  }
  if (s.pushes.size() >= MAX_HELD_PUSHES || s.pushBytes + text.size() > MAX_HELD_BYTES) {
    return s.ready ? Delivery::Busy : Delivery::NotReady;
  }
  Line line{std::move(text), std::move(done), Clock::now() + PUSH_WAIT};
  bool first = s.direct && s.ready && s.idle() && s.pushes.empty();
  std::vector<Line> written;
  if (first && s.writeNow(line, written, hold)) {
    hold.unlock();
    line.done(Delivery::Written);
  } else {
    s.queue(std::move(line), s.pushes, first);
    hold.unlock();
  }
  answerAll(written, Delivery::Written);
  return std::nullopt;
}

void Outbox::markReady() {
  std::lock_guard<std::mutex> hold(m_state->lock);
  m_state->ready = true;
  if (!m_state->idle()) {
    m_state->wakeWriter();
  }
}

void Outbox::close(std::chrono::milliseconds limit) {
  State& s = *m_state;
  std::unique_lock<std::mutex> hold(s.lock);
  bool wasClosed = std::exchange(s.closed, true);
  s.settled.wait_for(hold, limit, [&] { return wasClosed || s.idle(); });
  std::vector<Line> left;
  if (s.begun) {
    left.push_back(std::move(*s.begun));
    s.begun.reset();
  }
  while (!s.pushes.empty()) {
    left.push_back(s.takePush());
  }
  hold.unlock();
  answerAll(left, Delivery::Gone);
}

namespace {

// Never destroyed: the writer may still run while the process exits.
Outbox& processOutbox() {
  static Outbox& box = *new Outbox(STDOUT_FILENO);
  return box;
}

}  // namespace

void startWriter(void (*onGone)()) {
  processOutbox().start(onGone);
}

void queueAnswer(std::string line) {
  processOutbox().answer(std::move(line));
}

std::optional<Delivery> queueNotification(std::string line, Delivered done) {
  return processOutbox().notify(std::move(line), std::move(done));
}

void markReady() {
  processOutbox().markReady();
}

void closeOutbox(std::chrono::milliseconds limit) {
  processOutbox().close(limit);
}

}  // namespace outbox
