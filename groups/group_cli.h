#pragma once

// `channel-server group create|add|remove NAME DIR...` and `channel-server group list`.

#include <string>
#include <vector>

namespace groups {

// `args` follow the word "group". Returns the process exit status; messages go to stderr, the
// list to stdout.
int runGroupCommand(const std::vector<std::string>& args);

}  // namespace groups
