#pragma once

// The inject socket: local processes of the same user connect, write bytes and close; the bytes are
// typed into the session as if the user had typed them.

#include "platform/unique_fd.h"

#include <string>

namespace launcher {

// A listening Unix-domain socket at `path`, mode 0600, backlog 4. False, leaving nothing behind,
// when the path does not fit sun_path or socket, bind or listen fails.
bool openInject(const std::string& path, platform::UniqueFd* listener);

// Serves one connection at a time, in accept order, until accept fails for good. Bytes from peers
// of our own uid are written completely to gMaster; other peers are closed unread.
void serveInject(platform::UniqueFd listener);

}  // namespace launcher
