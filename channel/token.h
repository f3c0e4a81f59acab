#pragma once

// The channel token: the shared secret a local client presents in x-cv-token.

#include <optional>
#include <string>
#include <string_view>

namespace channel {

// 64 lowercase hex digits from one 32-byte read of /dev/urandom; nullopt when that read fails.
std::optional<std::string> readToken();

// ~/.corvane/channel.token.
std::string tokenPath();

// Removes the token file at `path` only while it is a regular file holding exactly `token`: a
// server that ends must not take away the file of one that started after it.
void removeTokenFileIfHolds(const std::string& path, std::string_view token);

// Byte equality in time that depends only on the length; different lengths are unequal at once.
bool constantTimeEquals(std::string_view a, std::string_view b);

}  // namespace channel
