#include "channel/push.h"

#include "base/json.h"

namespace channel {

nlohmann::ordered_json channelNotification(const std::string& content, const Meta& meta) {
  base::Json params = {{"content", content}};
  if (!meta.empty()) {
    params["meta"] = meta;
  }
  return {{"jsonrpc", "2.0"}, {"method", "notifications/claude/channel"}, {"params", params}};
}

void pushToChannel(const std::string& content, const Meta& meta, const outbox::Delivered& done) {
  auto line = base::serialize(channelNotification(content, meta));
  if (!line) {
    done(outbox::Delivery::Written);
    return;
  }
  line->push_back('\n');
  if (auto refused = outbox::queueNotification(std::move(*line), done)) {
    done(*refused);
  }
}

}  // namespace channel
