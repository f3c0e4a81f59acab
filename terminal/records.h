#pragma once

// Open terminals register themselves in <state dir>/terminals/<id>.json (a record of a live
// process, state/records.h) and serve a control socket; both go when the terminal ends, or at the
// next prune once it is dead.

#include "base/json.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace terminal {

using base::Json;

struct Record {
  std::string id;
  std::string name;
  std::string folder;
  long long pid = 0;  // the process that serves the control socket
  std::string controlSocket;
  int64_t startedAt = 0;   // milliseconds since the epoch
  std::string executable;  // the serving process's, "" for this process's own
};

Json toJson(const Record& record);
// Nullopt unless every member is there with its type.
std::optional<Record> recordFromJson(const Json& json);

// <stateDir>/terminals, made 0700 when this call creates it.
std::string terminalsDir(const std::string& stateDir);

// Every readable record (a small regular file), oldest first; dead ones included, nothing deleted.
std::vector<Record> listTerminals(const std::string& stateDir);

// The record's pid still runs the terminal that wrote it (start time and executable checked).
bool terminalAlive(const Record& record);

// `base`, or "base-2", "base-3"… the first that no name in `taken` holds.
std::string uniqueName(const std::string& base, const std::vector<std::string>& taken);

// Where the control socket of terminal `id` goes: under the terminals folder when the path fits
// sun_path, else in the short runtime folder (state::socketPath). Nullopt when neither will do.
std::optional<std::string> controlSocketPath(const std::string& stateDir, const std::string& id);

// Removes the records of dead terminals and unreadable records, and the socket a dead one names
// when state::isOurSocket.
void pruneTerminals(const std::string& stateDir);

}  // namespace terminal
