// CV_CHANNEL_PORT and CV_LAUNCHER_PID readers: never crash, and agree with each other.

#include "app/cli.h"
#include "registry/registry.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  long long pid = registry::parseLauncherPid(text);
  uint16_t port = app::parsePort(text);
  // Every accepted port is a pid reading of the same value.
  if (port != 0 && pid != port) {
    std::abort();
  }
  return 0;
}
