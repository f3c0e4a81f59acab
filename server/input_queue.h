#pragma once

// Hands input lines from the thread that reads standard input to the one that handles them, so
// the end of input is seen even while a tool call waits for the app.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace server {

class InputQueue {
 public:
  // Reader: queues a line; waits while MAX_QUEUED lines are queued.
  void put(std::string line);
  // Reader, at end of input: returns once every queued line is handled, or as soon as the
  // handler waits in a tool call (its answer would go to a client that has left).
  void drainOrAbandon();
  // Handler: the next line, waiting for one. Marks the handler busy until done().
  std::string take();
  void done();
  // Handler: around a wait for the app.
  void setInToolCall(bool waiting);

  static constexpr size_t MAX_QUEUED = 256;

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::deque<std::string> m_lines;
  bool m_busy = false;
  bool m_inToolCall = false;
};

}  // namespace server
