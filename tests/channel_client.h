#pragma once

// A channel-mode server to test against, and a blocking loopback client with deadlines.

#include "platform/unique_fd.h"
#include "tests/support/harness.h"

#include <cstdint>
#include <optional>
#include <string>

namespace cstest {

inline constexpr const char* TOKEN =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

struct ChannelServer {
  std::unique_ptr<Child> child;
  uint16_t port = 0;  // from the registry record; 0 when the server never got ready
};

// TOKEN, instance "INST", launch folder /work/proj; returns once the start line is out. `wrapper`
// goes before the binary on the command line (a shell that sets a limit first).
ChannelServer startChannel(const TempHome& home, Env extra = {},
                           std::vector<std::string> wrapper = {});

platform::UniqueFd connectTo(uint16_t port);
bool sendAll(int fd, std::string_view bytes);
// Everything until the server closes; nullopt on a reset or at the deadline.
std::optional<std::string> readToEnd(int fd, std::chrono::milliseconds timeout = 5s);
// One request on a fresh connection, then its whole answer.
std::optional<std::string> roundTrip(uint16_t port, std::string_view request);

// A POST of `body` with Content-Length and, unless empty, the token header.
std::string post(std::string_view body, std::string_view token = TOKEN);
// The answer the server must send, written out apart from the server's own code.
std::string httpAnswer(std::string_view status, std::string_view body);

}  // namespace cstest
