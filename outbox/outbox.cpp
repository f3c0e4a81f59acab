#include "outbox/outbox.h"

#include "platform/posix.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace outbox {
namespace {

using Clock = std::chrono::steady_clock;

struct Push {
  std::string line;
  Delivered done;
  Clock::time_point deadline;
};

struct Outbox {
  std::mutex lock;
  std::condition_variable wake;     // the writer waits for work
  std::condition_variable settled;  // an end waits for the writer
  std::deque<std::string> answers;
  std::deque<Push> pushes;
  size_t pushBytes = 0;
  bool ready = false;
  bool writing = false;
  bool closed = false;  // nothing more is taken
  void (*onGone)() = nullptr;
};

// Never destroyed: the writer may still run while the process exits.
Outbox& box = *new Outbox;

Push takeFront() {
  Push front = std::move(box.pushes.front());
  box.pushes.pop_front();
  box.pushBytes -= front.line.size();
  return front;
}

std::vector<Push> takeAll() {
  std::vector<Push> all;
  while (!box.pushes.empty()) {
    all.push_back(takeFront());
  }
  return all;
}

void answerAll(std::vector<Push>& pushes, Delivery how) {
  for (auto& p : pushes) {
    p.done(how);
  }
}

void writerLoop() {
  for (;;) {
    std::unique_lock<std::mutex> hold(box.lock);
    // Arrival order is deadline order, so the stale ones are at the front.
    std::vector<Push> stale;
    while (!box.pushes.empty() && box.pushes.front().deadline <= Clock::now()) {
      stale.push_back(takeFront());
    }
    if (!stale.empty()) {
      Delivery how = box.ready ? Delivery::Busy : Delivery::NotReady;
      hold.unlock();
      answerAll(stale, how);
      box.settled.notify_all();
      continue;
    }
    std::string line;
    std::optional<Push> push;
    if (!box.answers.empty()) {
      line = std::move(box.answers.front());
      box.answers.pop_front();
    } else if (box.ready && !box.pushes.empty()) {
      push = takeFront();
      line = std::move(push->line);
    } else if (box.pushes.empty()) {
      box.wake.wait(hold);
      continue;
    } else {
      box.wake.wait_until(hold, box.pushes.front().deadline);
      continue;
    }
    box.writing = true;
    hold.unlock();
    bool written = platform::writeAll(STDOUT_FILENO, line.data(), line.size());
    line = std::string();
    hold.lock();
    box.writing = false;
    if (written) {
      hold.unlock();
      if (push) {
        push->done(Delivery::Written);
      }
      box.settled.notify_all();
      continue;
    }
    box.closed = true;
    std::vector<Push> left = takeAll();
    hold.unlock();
    box.settled.notify_all();
    if (push) {
      push->done(Delivery::Gone);
    }
    answerAll(left, Delivery::Gone);
    if (box.onGone != nullptr) {
      box.onGone();
    }
    return;
  }
}

}  // namespace

void startWriter(void (*onGone)()) {
  static std::once_flag started;
  std::call_once(started, [onGone] {
    box.onGone = onGone;
    std::thread(writerLoop).detach();
  });
}

void queueAnswer(std::string line) {
  std::lock_guard<std::mutex> hold(box.lock);
  if (!box.closed) {
    box.answers.push_back(std::move(line));
    box.wake.notify_one();
  }
}

std::optional<Delivery> queueNotification(std::string line, Delivered done) {
  std::lock_guard<std::mutex> hold(box.lock);
  if (box.closed) {
    return Delivery::Gone;
  }
  if (box.pushes.size() >= MAX_HELD_PUSHES || box.pushBytes + line.size() > MAX_HELD_BYTES) {
    return box.ready ? Delivery::Busy : Delivery::NotReady;
  }
  box.pushBytes += line.size();
  box.pushes.push_back(Push{std::move(line), std::move(done), Clock::now() + PUSH_WAIT});
  box.wake.notify_one();
  return std::nullopt;
}

void markReady() {
  std::lock_guard<std::mutex> hold(box.lock);
  box.ready = true;
  box.wake.notify_one();
}

void closeOutbox(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(box.lock);
  bool wasClosed = std::exchange(box.closed, true);
  box.settled.wait_for(hold, limit, [wasClosed] {
    return wasClosed || (box.answers.empty() && !box.writing && (!box.ready || box.pushes.empty()));
  });
  std::vector<Push> left = takeAll();
  hold.unlock();
  answerAll(left, Delivery::Gone);
}

}  // namespace outbox
