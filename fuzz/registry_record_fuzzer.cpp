// A registry record file as a launcher reads it.

#include "registry/registry.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto record = registry::parseRecord(std::string_view(reinterpret_cast<const char*>(data), size));
  if (record) {
    registry::integralNumber(*record, "pid");
    registry::integralNumber(*record, "launcherPid");
  }
  return 0;
}
