#include "server/input_queue.h"

namespace server {

void InputQueue::put(std::string line) {
  std::unique_lock<std::mutex> hold(m_lock);
  m_changed.wait(hold, [this] { return m_lines.size() < MAX_QUEUED; });
  m_lines.push_back(std::move(line));
  m_changed.notify_all();
}

void InputQueue::drainOrAbandon() {
  std::unique_lock<std::mutex> hold(m_lock);
  m_changed.wait(hold, [this] { return m_inToolCall || (m_lines.empty() && !m_busy); });
}

std::string InputQueue::take() {
  std::unique_lock<std::mutex> hold(m_lock);
  m_changed.wait(hold, [this] { return !m_lines.empty(); });
  std::string line = std::move(m_lines.front());
  m_lines.pop_front();
  m_busy = true;
  m_changed.notify_all();
  return line;
}

void InputQueue::done() {
  std::lock_guard<std::mutex> hold(m_lock);
  m_busy = false;
  m_changed.notify_all();
}

void InputQueue::setInToolCall(bool waiting) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_inToolCall = waiting;
  m_changed.notify_all();
}

}  // namespace server
