#include "terminal/feeder.h"

#include "terminal/control.h"
#include "terminal/screen.h"

namespace terminal {
namespace {

// More than the scrollback and the screen hold of ordinary lines, colours included.
constexpr size_t KEPT_BACKLOG = 2 * 1024 * 1024;
constexpr size_t MAX_BACKLOG = 4 * KEPT_BACKLOG;
// Heavy output is taken a tick at a time, and more than FLOOD in a tick is a flood: a program
// printing faster than anyone reads.
constexpr size_t HEAVY = 32 * 1024;
constexpr size_t FLOOD = 64 * 1024;
constexpr std::chrono::milliseconds TICK{10};
constexpr std::chrono::milliseconds SETTLE{50};
constexpr size_t BATCH = 16 * 1024;

// Keeps the last `keep` bytes, from a line start when there is one: a cut escape sequence would
// print its tail as text.
void keepTail(std::string* s, size_t keep) {
  if (s->size() > keep) {
    size_t cut = s->find('\n', s->size() - keep);
    s->erase(0, cut == std::string::npos ? s->size() - keep : cut + 1);
  }
}

}  // namespace

Feeder::Feeder(Screen* screen, int master)
    : m_screen(screen), m_master(master), m_thread([this] { run(); }) {}

Feeder::~Feeder() {
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_one();
  m_thread.join();
}

void Feeder::push(std::string_view bytes) {
  {
    std::lock_guard lock(m_mutex);
    m_pending.append(bytes);
    if (m_pending.size() > MAX_BACKLOG) {
      keepTail(&m_pending, KEPT_BACKLOG);
    }
  }
  m_wake.notify_one();
}

void Feeder::flush(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  m_idle.wait_for(lock, timeout, [this] { return m_pending.empty() && !m_feeding; });
}

void Feeder::run() {
  std::string batch;
  size_t fed = 0;  // by the last round
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_wake.wait(lock, [this] { return m_stop || !m_pending.empty(); });
    if (fed >= HEAVY) {
      m_wake.wait_for(lock, TICK, [this] { return m_stop; });
    }
    // While a flood goes on, what it prints first would only scroll past: wait for it to pause.
    while (!m_stop && m_pending.size() > FLOOD) {
      size_t before = m_pending.size();
      m_wake.wait_for(lock, SETTLE, [this] { return m_stop; });
      keepTail(&m_pending, KEPT_BACKLOG);
      if (m_pending.size() == before) {
        break;
      }
    }
    if (m_stop) {
      return;
    }
    batch.swap(m_pending);
    m_feeding = true;
    lock.unlock();
    bool behind = false;
    for (size_t at = 0; at < batch.size() && !behind; at += BATCH) {
      if (m_master >= 0) {
        syncScreenSize(m_master, m_screen);
      }
      m_screen->feed(std::string_view(batch).substr(at, BATCH));
      std::lock_guard check(m_mutex);
      behind = m_pending.size() > FLOOD;
    }
    fed = batch.size();
    batch.clear();
    lock.lock();
    if (behind) {
      // What is left of this batch would have scrolled past unseen; go on from a line start.
      size_t cut = m_pending.find('\n');
      m_pending.erase(0, cut == std::string::npos ? 0 : cut + 1);
    }
    m_feeding = false;
    if (m_pending.empty()) {
      m_idle.notify_all();
    }
  }
}

}  // namespace terminal
