#pragma once

// The per-user state directory and the registry of running channel servers: one JSON record per
// server in ~/.corvane/sessions/<instance>.json. Processes of one user share it without locks.

#include "base/json.h"
#include "platform/platform.h"
#include "registry/identity.h"

#include <string>
#include <string_view>
#include <vector>

namespace registry {

using base::Json;

// ~/.corvane, created (with parents) on every call; creation errors are ignored.
std::string stateDir();
// ~/.corvane/sessions, likewise.
std::string registryDir();
// A server's own record: registryDir() + "/" + instanceID + ".json".
std::string registryPath(const std::string& instanceID);

// A short folder of this user's alone for sockets whose path would not fit under stateDir():
// $XDG_RUNTIME_DIR/corvane, else /tmp/corvane-<uid>. Not created.
std::string runtimeDirName();
// runtimeDirName(), created with mode 0700 when missing; "" unless it is then a real directory
// (not a link) that this user owns and nobody else may enter.
std::string runtimeDir();

// An inject socket a dead record may name and prune may delete: a socket itself (not a link),
// whose name is inject-*.sock, directly inside stateDir() or runtimeDirName().
bool isOurInjectSocket(const std::string& path);

// Slack for the coarse start times some platforms report.
inline constexpr long long START_SLACK_MILLIS = 2000;

// `id` is a run that may have written (or launched) a record published at `startedAt` seconds:
// it started no later than that second plus START_SLACK_MILLIS, and it runs `executable`. A missing
// start time or executable (a zombie's, another user's) never matches.
bool identityMatches(const platform::ProcessIdentity& id, long long startedAt,
                     const std::string& executable);

// `pid` is alive and identityMatches the record's "startedAt" against this executable: a pid the
// OS has since given to another program is never taken for the record's process.
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
