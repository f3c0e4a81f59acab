#pragma once

// `channel-server group create|add|remove NAME DIR...` and `channel-server group list`.

#include "groups/group_store.h"
#include "ops/context.h"

#include <string>
#include <vector>

namespace groups {

// What `group list` prints: each group, its folders, and under each folder the running sessions
// of that group found there. Names and folders are data: their controls are shown escaped.
std::string formatGroups(const std::vector<Group>& all,
                         const std::vector<ops::SessionRef>& running);

// `args` follow the word "group". Returns the process exit status; messages go to stderr, the
// list to stdout.
int runGroupCommand(const std::vector<std::string>& args);

}  // namespace groups
