#pragma once

// The one road to standard output: answers and channel notifications wait in one bounded queue
// that a single writer thread drains, so no other thread ever blocks on the MCP client.

#include <chrono>
#include <cstddef>
#include <functional>
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

// Starts the writer thread once. `onGone` runs on it after a write to standard output fails.
void startWriter(void (*onGone)());

// Queues one answer line (LF included); never refused, written in order with other answers.
void queueAnswer(std::string line);

// Queues one notification line, written only once the client is ready. A refusal comes back at
// once; otherwise `done` runs exactly once, on the writer thread, and must not block.
std::optional<Delivery> queueNotification(std::string line, Delivered done);

// The client has read our `initialize` answer and said so: notifications may flow.
void markReady();

// For an end: waits up to `limit` for what may still be written, then answers every notification
// left with Gone and refuses those that come later.
void closeOutbox(std::chrono::milliseconds limit);

}  // namespace outbox
