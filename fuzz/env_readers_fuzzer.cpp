// CV_CHANNEL_PORT, CV_LAUNCHER_PID and CV_INSTANCE readers: never crash, agree, stay in their
// folder.

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
  // An accepted instance names a file inside the registry folder.
  if (app::isValidInstance(text) && text.find_first_of("/.") != std::string_view::npos) {
    std::abort();
  }
  return 0;
}
