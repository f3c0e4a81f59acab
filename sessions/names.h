#pragma once

// Sessions as the answers name them, and the look-up of a name, title or id prefix.

#include "ops/context.h"
#include "sessions/session_data.h"

#include <string>
#include <string_view>
#include <vector>

namespace ops {

struct SessionRefs {
  std::vector<SessionRef> running;   // in the order of the live list
  std::vector<SessionRef> finished;  // transcripts without a live process
};

// Names are claude's own for a running session, else the latest custom title, else the folder
// and the first four characters of the id. Of two sessions with one name, the later-started one
// gets "#" and four characters of its id, or more of them until no other session has that name.
SessionRefs sessionRefs(const std::vector<LiveSession>& live,
                        const std::vector<const TranscriptSummary*>& transcripts);

// sessionRefs' answer as lists to share.
NamedSessions nameSessions(const std::vector<LiveSession>& live,
                           const std::vector<const TranscriptSummary*>& transcripts);

// Exact name; exact title, case-insensitive; unique id prefix of 4 or more; unique name prefix.
Lookup lookUp(std::string_view key, const SessionList& running, const SessionList& finished);

// The request's context, with data's names when it has them. `find` reads out's own session
// lists, so the context is filled in place and must not be copied or moved afterwards.
void buildContext(pid_t callerPid, const SessionData& data, std::string stateDir, int64_t nowMillis,
                  Context* out);

}  // namespace ops
