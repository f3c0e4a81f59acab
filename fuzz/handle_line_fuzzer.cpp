// Standard input bytes through the line reader and the JSON-RPC handler; the app is a stand-in
// that answers with the request it would have sent.

#include "base/json.h"
#include "query/client.h"
#include "server/jsonrpc.h"
#include "server/line_reader.h"
#include "server/output.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  server::LineReader reader;
  auto lines = reader.feed(std::string_view(reinterpret_cast<const char*>(data), size));
  for (auto& last : reader.finish()) {
    lines.push_back(std::move(last));
  }
  auto app = [](const std::string& name, const base::Json& args) {
    return base::serialize(query::buildRequest(name, args, 1)).value_or("");
  };
  for (const auto& line : lines) {
    auto out = server::handleMessage(line, "proj", {size % 2 == 0, size % 3 == 0}, app);
    if (out.answer) {
      base::serialize(*out.answer);
    }
  }
  return 0;
}
