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

std::optional<std::string> notificationLine(const std::string& content, const Meta& meta) {
  // Only the strings are serialised; the document around them is fixed text, as runs per push.
  auto text = base::serialize(base::Json(content));
  auto metaText = meta.empty() ? std::optional<std::string>("") : base::serialize(base::Json(meta));
  if (!text || !metaText) {
    return std::nullopt;
  }
  std::string line =
      R"({"jsonrpc":"2.0","method":"notifications/claude/channel","params":{"content":)";
  line += *text;
  line += meta.empty() ? "" : R"(,"meta":)";
  line += *metaText;
  line += "}}\n";
  return line;
}

void pushToChannel(const std::string& content, const Meta& meta, const outbox::Delivered& done) {
  auto line = notificationLine(content, meta);
  if (!line) {
    done(outbox::Delivery::Written);
    return;
  }
  if (auto refused = outbox::queueNotification(std::move(*line), done)) {
    done(*refused);
  }
}

}  // namespace channel
