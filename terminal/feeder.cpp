#include "terminal/feeder.h"

#include "terminal/control.h"
#include "terminal/screen.h"

namespace terminal {
namespace {

// Far more than the scrollback and screen hold, even of long lines and colourful ones.
constexpr size_t MAX_BACKLOG = 8 * 1024 * 1024;
constexpr size_t KEPT_BACKLOG = 4 * 1024 * 1024;
constexpr size_t BATCH = 64 * 1024;

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
      // Start again at a line: a cut escape sequence would print its tail as text.
      size_t cut = m_pending.find('\n', m_pending.size() - KEPT_BACKLOG);
      m_pending.erase(0, cut == std::string::npos ? m_pending.size() - KEPT_BACKLOG : cut + 1);
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
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_wake.wait(lock, [this] { return m_stop || !m_pending.empty(); });
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
      behind = m_pending.size() > KEPT_BACKLOG;
    }
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
