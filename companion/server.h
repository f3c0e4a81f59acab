#pragma once

// `channel-server app`: the companion in the corvane app's place on ~/.corvane/sessions.sock.

#include <chrono>
#include <cstddef>

namespace companion {

inline constexpr size_t MAX_REQUEST_BYTES = 1024 * 1024;
inline constexpr std::chrono::seconds REQUEST_TIMEOUT{10};
inline constexpr std::chrono::minutes IDLE_EXIT{30};
inline constexpr int MAX_CLIENTS = 64;

// Serves until 30 minutes pass without a request, its socket file is removed or replaced, or a
// termination signal arrives; returns the exit status. Another owner of a live socket: 0 at once.
// *stoppedBy receives the termination signal that ended it, else 0: the caller passes it on.
int runApp(int* stoppedBy);

}  // namespace companion
