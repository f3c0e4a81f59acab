#pragma once

// Which registry record a session name means: the names `channel-server sessions` shows, looked up
// as the tools look them up, among the running sessions that have a channel.

#include "base/json.h"
#include "ops/context.h"

#include <string>
#include <vector>

namespace client {

using base::Json;

struct Named {
  ops::SessionRef session;
  Json record;  // the registry record of the channel server this session runs
};

// The running sessions with a channel from the companion's `list` answer (starting the companion
// when nobody answers and `start`), each with the live record among `live` whose server is a child
// of its claude. Empty when the companion cannot answer.
std::vector<Named> namedChannels(const std::vector<Json>& live, bool start);

// The session name of `record` among `named`, else the first 8 characters of its instance: what
// --to takes to tell it from the others.
std::string nameOf(const Json& record, const std::vector<Named>& named);

}  // namespace client
