#pragma once

// The push into the running session: one notifications/claude/channel message on standard output.

#include <nlohmann/json.hpp>

#include <map>
#include <string>

namespace channel {

using Meta = std::map<std::string, std::string>;

// The notification; "meta" only when `meta` has an entry.
nlohmann::ordered_json channelNotification(const std::string& content, const Meta& meta);

// Writes channelNotification(content, meta) through server::emit; a text that cannot be
// serialised is dropped without a word.
void pushToChannel(const std::string& content, const Meta& meta = {});

}  // namespace channel
