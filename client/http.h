#pragma once

// The two byte movers of `push` and `type`: one HTTP exchange on 127.0.0.1, and bytes written to a
// session's inject socket. Errors come back as one line naming the call and errno.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace client {

// Sends `request` to 127.0.0.1:`port`, then reads until the server closes (at most 64 KiB), all
// within `limit`. False with *err when connecting, writing or reading fails or time runs out.
// `slow`, when given, is called once when the answer has not begun within a second.
bool exchange(uint16_t port, std::string_view request, std::chrono::milliseconds limit,
              std::string* reply, std::string* err, const std::function<void()>& slow = nullptr);

// Writes `bytes` to the Unix-domain socket at `path` and closes. Refuses anything that is not a
// socket itself, and a listener of another user.
bool writeToSocket(const std::string& path, std::string_view bytes, std::string* err);

}  // namespace client
