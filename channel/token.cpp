#include "channel/token.h"

#include "base/log.h"
#include "platform/files.h"
#include "platform/unique_fd.h"
#include "state/state.h"

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace channel {

std::optional<std::string> readToken() {
  platform::UniqueFd fd{::open("/dev/urandom", O_RDONLY | O_CLOEXEC)};
  if (!fd) {
    return std::nullopt;
  }
  unsigned char bytes[32];
  if (::read(fd.get(), bytes, sizeof(bytes)) != static_cast<ssize_t>(sizeof(bytes))) {
    return std::nullopt;
  }
  static const char* hex = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += hex[b >> 4];
    token += hex[b & 0x0F];
  }
  return token;
}

std::string tokenPath() {
  return state::file("channel.token");
}

void removeTokenFileIfHolds(const std::string& path, std::string_view token) {
  auto held = platform::readRegularFile(path);
  if (held && *held == token) {
    platform::removeFile(path);
  }
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  volatile unsigned char acc = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    acc = acc | static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return acc == 0;
}

}  // namespace channel
