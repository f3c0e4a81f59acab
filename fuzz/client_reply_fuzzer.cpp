// What push reads back from a port: an answer or a /info body from whatever listens there.

#include "client/pick.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto reply = client::parseReply(text)) {
    client::refusalLine(*reply, "s");
  }
  // A body the record does not name is never taken for its server.
  if (client::sameServer(client::Json::object(), text)) {
    std::abort();
  }
  return 0;
}
