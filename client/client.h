#pragma once

// `push` and `type`: send text to a live channel session of this user from the command line.

#include <string>
#include <vector>

namespace client {

// channel-server push [--to SESSION] [TEXT...]: the text (standard input when none is given) goes
// to the session's channel once its server has shown, through GET /info, that it is the process
// the record names. Prints nothing on success; 1 with one line on failure; 2 for usage, and when
// several sessions match (they are listed).
int runPush(const std::vector<std::string>& args);

// channel-server type [--to SESSION] [--enter] TEXT...: the bytes (and "\r" with --enter) go to
// the session's inject socket, as if typed. Exit statuses as for runPush.
int runType(const std::vector<std::string>& args);

}  // namespace client
