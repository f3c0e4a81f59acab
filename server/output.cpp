#include "server/output.h"

#include "outbox/outbox.h"

namespace server {

void emit(const Json& message) {
  auto text = base::serialize(message);
  if (!text) {
    return;
  }
  text->push_back('\n');
  outbox::queueAnswer(std::move(*text));
}

}  // namespace server
