#pragma once

// The one road to standard output, where no thread but the writer ever waits on the MCP client.
// A line with nothing ahead of it goes out at once from the thread that made it when the
// descriptor takes it without waiting; any other waits in one bounded queue, and the writer thread
// takes everything queued when it wakes and writes it with one writev (group commit).

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace outbox {

// Channel notifications held at once, and their bytes.
inline constexpr size_t MAX_HELD_PUSHES = 64;
inline constexpr size_t MAX_HELD_BYTES = 4 << 20;
// A notification not yet begun by then is withdrawn.
inline constexpr std::chrono::seconds PUSH_WAIT{30};

enum class Delivery {
  Written,   // the whole line is on standard output
  NotReady,  // the client has not yet said it takes notifications
  Busy,      // the queue is full, or the line waited too long behind others
  Gone,      // standard output failed, or the server is ending
};

using Delivered = std::function<void(Delivery)>;

// One queue and its writer thread over a descriptor the caller keeps open while it lives.
class Outbox {
 public:
  explicit Outbox(int fd);
  // Refuses what is left, then waits for the writer to finish its batch.
  ~Outbox();
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  // Lets the writer start, once, when a line first has to wait for it. `onGone` runs on it after
  // a write fails, everything left refused.
  void start(std::function<void()> onGone);
  // One answer line (LF included); never refused, written in order with other answers.
  void answer(std::string line);
  // One notification line, written only once ready. A refusal comes back at once; otherwise
  // `done` runs exactly once, before this returns or on the writer thread, and must not block.
  std::optional<Delivery> notify(std::string line, Delivered done);
  void markReady();
  // Waits up to `limit` for what may still be written, then answers every notification left
  // with Gone and refuses those that come later.
  void close(std::chrono::milliseconds limit);

 private:
  struct State;  // shared with the writer thread
  static void writerLoop(const std::shared_ptr<State>& state);
  std::shared_ptr<State> m_state;
};

// The process's own Outbox on standard output, never destroyed: the writer may still run while
// the process exits.
void startWriter(void (*onGone)());
void queueAnswer(std::string line);
std::optional<Delivery> queueNotification(std::string line, Delivered done);
// The client has read our `initialize` answer and said so: notifications may flow.
void markReady();
void closeOutbox(std::chrono::milliseconds limit);

}  // namespace outbox
