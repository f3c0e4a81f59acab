#pragma once

// What the companion knows of Claude Code's own files, boiled down: one summary per live session
// file and one per transcript. Readers fill these; op handlers only read them.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <tuple>
#include <vector>

namespace claude_files {

// A live session file `sessions/<pid>.json` whose pid still runs the process that wrote it.
struct LiveSession {
  pid_t pid = 0;
  std::string sessionId;
  std::string cwd;
  int64_t startedAtMillis = 0;
  std::string name;                       // claude's own, may be empty
  std::string status;                     // "busy" | "idle" | "waiting"
  std::optional<std::string> waitingFor;  // null unless claude says
  int64_t updatedAtMillis = 0;
  std::string messagingSocketPath;  // empty when none
  bool operator==(const LiveSession&) const = default;
};

// Tokens of one or more API answers. cache_write in answers is cacheWrite5m + cacheWrite1h.
struct Tokens {
  uint64_t input = 0;
  uint64_t output = 0;
  uint64_t cacheWrite5m = 0;
  uint64_t cacheWrite1h = 0;
  uint64_t cacheRead = 0;
  bool operator==(const Tokens&) const = default;
};

// Prompt lengths (input, cache writes and cache reads) past which a model may charge other rates.
// A price table can only name these, because usage is summed per band before any price is known.
inline constexpr uint32_t PROMPT_BANDS[] = {100000, 200000};

// The largest of PROMPT_BANDS that `promptTokens` passes; 0 when none.
constexpr uint32_t promptBand(uint64_t promptTokens) {
  uint32_t band = 0;
  for (uint32_t b : PROMPT_BANDS) {
    band = promptTokens > b ? b : band;
  }
  return band;
}

// Usage is kept apart by everything a price or a split of the answer depends on.
struct UsageKey {
  std::string model;
  std::string agent;  // "main", or a subagent's type (else its file name)
  std::string skill;  // attributionSkill, empty when none
  uint32_t band = 0;  // promptBand() of each request's prompt
  int32_t day = 0;    // the requests' UTC day, days since 1970-01-01: prices change on a day
  auto operator<=>(const UsageKey&) const = default;
};

struct Usage {
  Tokens tokens;
  uint64_t requests = 0;
  bool operator==(const Usage&) const = default;
};

inline void addUsage(Usage* into, const Usage& u) {
  into->tokens.input += u.tokens.input;
  into->tokens.output += u.tokens.output;
  into->tokens.cacheWrite5m += u.tokens.cacheWrite5m;
  into->tokens.cacheWrite1h += u.tokens.cacheWrite1h;
  into->tokens.cacheRead += u.tokens.cacheRead;
  into->requests += u.requests;
}

// Takes back what addUsage added; true when no request is left.
inline bool subtractUsage(Usage* from, const Usage& u) {
  from->tokens.input -= u.tokens.input;
  from->tokens.output -= u.tokens.output;
  from->tokens.cacheWrite5m -= u.tokens.cacheWrite5m;
  from->tokens.cacheWrite1h -= u.tokens.cacheWrite1h;
  from->tokens.cacheRead -= u.tokens.cacheRead;
  from->requests -= u.requests;
  return from->requests == 0;
}

// The answers that began in one minute, for cost by time of day.
struct MinuteUsage {
  int64_t minuteMillis = 0;  // the minute's start, Unix milliseconds
  Usage usage;
  bool operator==(const MinuteUsage&) const = default;
};

// How far back a file's usage by minute reaches from its newest answer: "today" and any recent
// window fit, and an old session keeps no more than a day of minutes.
inline constexpr int64_t RECENT_USAGE_MS = 24LL * 60 * 60 * 1000;

struct ToolCall {
  std::string tool;
  std::string target;  // file path, command or pattern, at most 200 characters
  std::string useId;   // tool_use id, to match its result
  int64_t atMillis = 0;
  bool done = false;  // a result has been seen
  bool operator==(const ToolCall&) const = default;
};

struct FileEdits {
  uint64_t edits = 0;
  int64_t lastEditMillis = 0;
  std::map<std::string, uint64_t> byTool;  // "Edit" -> n
  bool operator==(const FileEdits&) const = default;
};

// One session's transcript with its subagent transcripts folded in.
struct TranscriptSummary {
  std::string sessionId;
  std::string cwd;
  std::string customTitle;   // latest custom-title, may be empty
  std::string aiTitle;       // latest ai-title, may be empty
  std::string latestPrompt;  // the user's latest typed prompt of the main conversation
  std::optional<std::string> latestAnswer;  // last assistant text of the main conversation
  int64_t firstMillis = 0;
  int64_t lastActivityMillis = 0;
  uint64_t turns = 0;  // the user's own prompts
  uint64_t mcpToolCalls = 0;
  std::optional<double> claudeUsd;  // claude's own last totalCostUSD
  std::map<UsageKey, Usage> usage;
  // The same answers by minute, oldest first, as far back as RECENT_USAGE_MS from each file's
  // newest answer. Answers without a time are counted in `usage` only.
  std::map<UsageKey, std::vector<MinuteUsage>> recentUsage;
  std::vector<ToolCall> recentTools;       // newest last, at most a few dozen kept
  std::map<std::string, FileEdits> files;  // absolute path -> edits
  bool operator==(const TranscriptSummary&) const = default;
};

}  // namespace claude_files
