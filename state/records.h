#pragma once

// Records of live processes of ours (a channel server, a terminal): one JSON object a file, written
// atomically, read only as a small regular file, and believed only while the process that wrote
// it still runs.

#include "base/json.h"
#include "platform/platform.h"

#include <optional>
#include <string>
#include <vector>

namespace state {

using base::Json;

// Slack for the coarse start times some platforms report.
inline constexpr long long START_SLACK_MILLIS = 2000;

// `id` is a run that may have written a record at `writtenAtMillis`: it started no later than that
// plus START_SLACK_MILLIS, and it runs `executable`. A missing start time or executable (a
// zombie's, another user's) never matches.
bool identityMatches(const platform::ProcessIdentity& id, long long writtenAtMillis,
                     const std::string& executable);

// `pid` is alive and identityMatches a record written at `writtenAtMillis` by `executable` (by
// default this process's own): a pid the OS has since given to another program is never taken for
// the record's process.
bool isLiveProcess(long long pid, long long writtenAtMillis, const std::string& executable = "");

// This process's executable, links resolved: what a record names as its writer.
const std::string& ownExecutable();

// The record at `path` as an object; nullopt unless it is a regular file (no link, FIFO or device)
// under 1 MiB holding a JSON object.
std::optional<Json> readRecord(const std::string& path);

// Replaces `path` atomically with the record, mode 0600: a reader never sees half.
bool writeRecord(const std::string& path, const Json& record, std::string* err);

// The names of the *.json entries in `folder`, in listing order.
std::vector<std::string> recordNames(const std::string& folder);

}  // namespace state
