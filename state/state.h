#pragma once

// The one owner of where our files live: ~/.corvane and its folders (all 0700, whoever makes them
// first), the short runtime folder for sockets whose path is too long, the companion's socket and
// its log.

#include "platform/unique_fd.h"

#include <string>
#include <string_view>

namespace state {

// ~/.corvane, made 0700 when missing and narrowed to 0700 when it is ours and wider; "" without a
// home directory.
std::string dir();
// dir() + "/" + name, a folder made and narrowed as dir() is.
std::string folder(std::string_view name);
// dir() + "/" + name; nothing is made but dir().
std::string file(std::string_view name);

// The short folder of this user's alone: $XDG_RUNTIME_DIR/corvane, else /tmp/corvane-<uid>, made
// 0700. Used only when it is a real folder (not a link) that this user owns with mode 0700; when
// someone else holds the name, a fresh private folder <name>-XXXXXX, remembered in
// ~/.corvane/runtime so every process of ours finds the same one. "" when none can be had.
std::string runtimeDir();

// `folder`/`name` when that path fits a Unix socket's address, else runtimeDir()/`name`; "" when
// neither fits.
std::string socketPath(const std::string& folder, const std::string& name);

// ~/.corvane/sessions.sock, or sessions.sock in the runtime folder under a long home.
std::string companionSocket();

// The one rule for a socket a dead record may name and prune may delete: the path itself is a
// socket (not a link) of this user's, named *.sock, directly in dir(), one of its folders or a
// runtime folder of ours, and it is not the companion's socket.
bool isOurSocket(const std::string& path);

// Past this size the companion's log starts over; the older part is kept as companion.log.1.
inline constexpr long long LOG_CAP = 4LL << 20;

// ~/.corvane/companion.log opened to append (0600), rotated first when past LOG_CAP. Invalid when
// the path is not a regular file of ours (a link, a FIFO, a device).
platform::UniqueFd openLog();

// When `fd` is the companion's log and it has passed LOG_CAP: starts a fresh log and moves standard
// output and error to it. For a long-running companion; does nothing to any other descriptor.
void capLog(int fd);

}  // namespace state
