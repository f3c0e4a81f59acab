#include "server/output.h"

#include "app/process.h"
#include "platform/posix.h"

#include <atomic>
#include <unistd.h>

namespace server {
namespace {

std::atomic<bool> gStdoutBroken{false};

}  // namespace

void emit(const Json& message) {
  auto text = base::serialize(message);
  if (!text) {
    return;
  }
  text->push_back('\n');
  std::lock_guard<std::mutex> hold(app::stdoutLock);
  if (gStdoutBroken) {
    return;
  }
  if (!platform::writeAll(STDOUT_FILENO, text->data(), text->size())) {
    gStdoutBroken = true;
  }
}

}  // namespace server
