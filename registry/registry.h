#pragma once

// The per-user state directory and the registry of running channel servers: one JSON record per
// server in ~/.corvane/sessions/<instance>.json. Processes of one user share it without locks.

#include "base/json.h"

#include <string>
#include <string_view>
#include <vector>

namespace registry {

using base::Json;

// ~/.corvane, created (with parents) on every call; creation errors are ignored.
std::string stateDir();
// ~/.corvane/sessions, likewise.
std::string registryDir();
// This server's own record: registryDir() + "/" + instanceID + ".json".
std::string registryPath();

// The record as it is published, from the process-wide values and the environment.
Json buildRecord(long long pid, long long startedAt);

// Integer reading of CV_LAUNCHER_PID: optional sign, digits, int64; anything else is 0.
long long parseLauncherPid(std::string_view text);

// A record file's text as an object; nullopt when it is not a JSON object.
std::optional<Json> parseRecord(std::string_view text);

// The member as an integral JSON number (3.0 counts), or nullopt.
std::optional<long long> integralNumber(const Json& record, const char* key);

// Writes this server's record atomically with mode 0600 and logs the outcome; never exits.
void publishRegistry();

// Keeps a never-freed copy of registryPath() in gRegistryPath, then handles SIGTERM, SIGINT and
// SIGHUP by removing that file and ending the process with status 0.
void installSignalCleanup();

// Records whose "pid" is alive, in listing order. Deletes nothing.
std::vector<Json> liveRegistry();

// Deletes unreadable, malformed and dead records, and the inject socket each dead one names.
void pruneRegistry();

}  // namespace registry
