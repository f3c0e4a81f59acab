#pragma once

// Running another program to its end, for commands that hand a step to a tool of the user's.

#include <optional>
#include <string>
#include <vector>

namespace platform {

// Runs argv[0], looked up on PATH, with standard input, output and error on /dev/null, and waits
// at most `timeoutMs` for it; one still running then is killed. Its exit status (128 + signal when
// a signal ended it); nullopt when it could not be started or ran out of time.
std::optional<int> runQuietly(const std::vector<std::string>& argv, int timeoutMs);

}  // namespace platform
