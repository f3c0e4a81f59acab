#include "base/log.h"

#include "platform/posix.h"

#include <string>
#include <unistd.h>

namespace base {

void logErr(std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  platform::writeAll(STDERR_FILENO, text.data(), text.size());
}

}  // namespace base
