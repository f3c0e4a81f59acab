#pragma once

// The registry of running channel servers: one record of a live process (state/records.h) per
// server in ~/.corvane/sessions/<instance>.json. Processes of one user share it without locks.

#include "base/json.h"
#include "platform/platform.h"
#include "registry/identity.h"

#include <string>
#include <string_view>
#include <vector>

namespace registry {

using base::Json;

// ~/.corvane/sessions, made 0700 when missing.
std::string registryDir();
// A server's own record: registryDir() + "/" + instanceID + ".json".
std::string registryPath(const std::string& instanceID);

// An inject socket a dead record may name and prune may delete: named inject-*.sock and
// state::isOurSocket.
bool isOurInjectSocket(const std::string& path);

// `pid` is state::isLiveProcess for the record's "startedAt" (seconds): a pid the OS has since
// given to another program is never taken for the record's process.
bool isRecordProcess(long long pid, const Json& record);

// The record as it is published for `identity` listening on `port`.
Json buildRecord(const Identity& identity, uint16_t port, long long pid, long long startedAt);

// Integer reading of CV_LAUNCHER_PID: optional sign, digits, int64; anything else is 0.
long long parseLauncherPid(std::string_view text);

// A record file's text as an object; nullopt when it is not a JSON object.
std::optional<Json> parseRecord(std::string_view text);

// The member as an integral JSON number (3.0 counts), or nullopt.
std::optional<long long> integralNumber(const Json& record, const char* key);

// Writes this server's record atomically with mode 0600 and logs the outcome; never exits.
void publishRegistry(const Identity& identity, uint16_t port);

// Keeps a never-freed copy of the record's path in gRegistryPath and removes that file when the
// process ends through the exit handlers, a termination signal's end included. Called once.
void armRecordCleanup(const std::string& instanceID);

// Records whose "pid" isRecordProcess, in listing order. Records are read only when they are
// regular files under 1 MiB. Deletes nothing.
std::vector<Json> liveRegistry();

// Deletes unreadable, malformed and dead records, and the inject socket each dead one names when
// isOurInjectSocket; any other path a record names is left alone.
void pruneRegistry();

}  // namespace registry
