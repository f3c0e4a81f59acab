#pragma once

// Process-wide values, set once on the main thread before a mode is chosen. They live on the heap
// and are never destroyed, so worker threads still running while the process exits never read a
// destroyed object.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace app {

inline constexpr const char* SERVER_NAME = "corvane";
inline constexpr const char* SERVER_VERSION = "0.2.0";
inline constexpr const char* DEFAULT_PROTOCOL = "2025-06-18";

extern std::string& instanceID;
extern std::string& launchCwd;
extern std::string& projectName;
extern uint16_t requestedPort;
extern std::atomic<uint16_t> channelPort;
extern std::mutex& stdoutLock;
extern std::optional<std::string>& channelToken;
extern std::string& gInstance;
extern std::atomic<const char*> gRegistryPath;
extern const std::set<std::string>& wardenToolNames;
extern std::atomic<int> gMaster;
extern std::string& argv0;
extern std::vector<std::string>& cliArgs;

// Fills the values above from the environment and the argument vector, in their documented order.
void initProcess(int argc, char** argv);

// The variable's value, or nullopt when it is absent (an empty value is present).
std::optional<std::string> envVar(const char* name);

// Exactly "1": anything else, absence included, is false.
bool envFlag(const char* name);

}  // namespace app
