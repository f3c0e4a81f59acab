#include "base/time_text.h"

#include <ctime>

namespace base {

std::string isoUtc(int64_t millis) {
  std::time_t secs = static_cast<std::time_t>(millis / 1000);
  std::tm tm{};
  char buf[32];
  if (::gmtime_r(&secs, &tm) == nullptr ||
      std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm) == 0) {
    return {};
  }
  return buf;
}

}  // namespace base
