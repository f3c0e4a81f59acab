#include "server/output.h"

#include "server/outbox.h"

namespace server {

void emit(const Json& message) {
  auto text = base::serialize(message);
  if (!text) {
    return;
  }
  text->push_back('\n');
  queueAnswer(std::move(*text));
}

}  // namespace server
