#pragma once

// The push into the running session: one notifications/claude/channel message on standard output.

#include "outbox/outbox.h"

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>

namespace channel {

using Meta = std::map<std::string, std::string>;

// The notification; "meta" only when `meta` has an entry.
nlohmann::ordered_json channelNotification(const std::string& content, const Meta& meta);

// channelNotification(content, meta) serialised, with its line feed; nullopt when it cannot be.
std::optional<std::string> notificationLine(const std::string& content, const Meta& meta);

// Queues channelNotification(content, meta) for standard output. `done` runs exactly once, maybe
// before this returns, maybe on the writer thread; it must not block. A text that cannot be
// serialised is dropped without a word and counts as written.
void pushToChannel(const std::string& content, const Meta& meta, const outbox::Delivered& done);

}  // namespace channel
