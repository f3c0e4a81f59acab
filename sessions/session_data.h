#pragma once

// The session ops' view of Claude Code's files at one moment, and the small helpers their answers
// share. Building one is cheap: it borrows the readers' vectors and indexes them by session id.

#include "base/json.h"
#include "claude_files/summary.h"
#include "ops/context.h"

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

namespace ops {

using claude_files::LiveSession;
using claude_files::TranscriptSummary;

// Dollars for a usage of one key; nullopt when the model has no price.
using Pricer = std::function<std::optional<double>(const claude_files::UsageKey&,
                                                   const claude_files::Tokens&)>;

struct SessionData {
  SessionData(const std::vector<LiveSession>& liveSessions,
              const std::vector<TranscriptSummary>& transcriptSummaries, std::set<pid_t> channels,
              Pricer pricer);
  // Borrows the summaries the pointers name.
  SessionData(const std::vector<LiveSession>& liveSessions,
              std::vector<const TranscriptSummary*> transcriptSummaries, std::set<pid_t> channels,
              Pricer pricer);

  const std::vector<LiveSession>& live;
  std::vector<const TranscriptSummary*> transcripts;  // the sessions read so far
  std::set<pid_t> channelPids;  // claude pids that one of our registered servers serves
  Pricer price;
  // Which refresh of the readers this is; equal values mean equal data. 0: unknown, never equal.
  uint64_t generation = 0;
  // Sessions on this machine, read or not; 0 when only those here are known.
  size_t sessionsKnown = 0;
  // The sessions named once for every request over this data; unset, each request names them.
  std::optional<NamedSessions> named;

  const LiveSession* liveOf(std::string_view id) const;
  const TranscriptSummary* transcriptOf(std::string_view id) const;

 private:
  std::unordered_map<std::string, size_t> m_live, m_transcripts;
};

// "2026-12-07T16:15:09Z"; null for 0 (never seen).
Json isoTime(int64_t millis);

// The session `name` names (the caller when it is absent), or the error answer.
Lookup findNamed(const Json& request, const Context& ctx);

}  // namespace ops
