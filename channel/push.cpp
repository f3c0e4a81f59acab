#include "channel/push.h"

#include "base/json.h"
#include "server/output.h"

namespace channel {

nlohmann::ordered_json channelNotification(const std::string& content, const Meta& meta) {
  base::Json params = {{"content", content}};
  if (!meta.empty()) {
    params["meta"] = meta;
  }
  return {{"jsonrpc", "2.0"}, {"method", "notifications/claude/channel"}, {"params", params}};
}

void pushToChannel(const std::string& content, const Meta& meta) {
  server::emit(channelNotification(content, meta));
}

}  // namespace channel
