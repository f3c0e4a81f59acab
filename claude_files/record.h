#pragma once

// One transcript line applied to the aggregates of the file it came from. Nothing here reads a
// file.

#include "claude_files/summary.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace claude_files {

inline constexpr size_t RECENT_TOOLS_KEPT = 16;
inline constexpr size_t TARGET_MAX_CHARS = 200;
inline constexpr size_t ANSWER_MAX_CHARS = 4000;
inline constexpr size_t PROMPT_MAX_BYTES = 4096;

// A set of 64-bit hashes in one flat table: a node-based set costs two to three times the memory,
// and a long session answers tens of thousands of requests.
class HashSet {
 public:
  bool insert(uint64_t h);  // false when already there
  bool contains(uint64_t h) const;
  size_t size() const { return m_count; }
  // Every member, in no particular order (for storing the set and building it again).
  std::vector<uint64_t> members() const;

 private:
  std::vector<uint64_t> m_slots;  // 0 is a free slot; a hash of 0 is stored as 1
  size_t m_count = 0;
};

// FNV-1a of `bytes`, going on from `h` (the sets above, a file's counted tail).
inline constexpr uint64_t FNV_START = 1469598103934665603ull;
uint64_t fnv1a(std::string_view bytes, uint64_t h = FNV_START);

// An answer as counted: enough to take it back.
struct CountedAnswer {
  uint64_t hash = 0;  // of message.id and requestId
  UsageKey key;
  Usage usage;
  int64_t minute = 0;
  bool recent = false;  // added to recentUsage
};

inline constexpr size_t FIRST_ANSWERS_KEPT = 64;

// What a part of a file read while another thread reads the part before it keeps of the lines
// whose effect depends on that part, so that the two can be joined as if read in one go.
struct JoinNotes {
  // Its first answers: a part may begin inside an answer whose lines (each with the answer's
  // usage) the part before counted already.
  std::vector<CountedAnswer> firstAnswers;
  std::string firstAnswerId;     // message.id of the part's first answer text, maybe continued
  bool answerSinceFirst = true;  // latestAnswer holds every answer text since that one
  bool titled = false, aiTitled = false;  // a title record came, even an empty one
  HashSet results;                        // fnv1a of every tool_use_id answered
  bool unjoinable = false;  // a path was resolved without a folder, which the part before knew
};

// What one transcript file adds to its session, and what reading more of it needs to remember.
struct FileAggregate {
  bool main = true;                  // the session's own conversation, not a subagent's
  std::string agent = "main";        // usage is keyed by it
  TranscriptSummary summary;         // of this file alone
  HashSet countedAnswers;            // message.id + requestId of the answers already counted
  std::string answerId;              // message.id of latestAnswer, whose later lines add to it
  int64_t newestMinute = 0;          // of the answers in summary.recentUsage
  std::unique_ptr<JoinNotes> notes;  // only in a later part of a file being read in parts
};

// Adds `usage` to the minute starting at minuteMillis, keeping `series` in order of minutes.
void addToMinute(std::vector<MinuteUsage>* series, int64_t minuteMillis, const Usage& usage);

// False only when the line cannot change any aggregate: none of the record types read here
// appears in it as a string, and no \u escape could hide one.
bool mayMatter(std::string_view line);

// simdjson's parser and buffers, reused from line to line and file to file. Not thread-safe.
class LineParser {
 public:
  LineParser();
  ~LineParser();
  LineParser(const LineParser&) = delete;
  LineParser& operator=(const LineParser&) = delete;

  // Applies one record. `readable` counts the bytes that may be read from line.data(), the line
  // included; with fewer than the parser's padding past the line it is copied first. Malformed
  // lines, unknown record types and values of unexpected types change nothing. False when the
  // line is not one whole JSON object. `skim`: a user record answering a tool is applied without
  // parsing its long strings (the tool's output), whose bytes then go unchecked.
  bool apply(std::string_view line, size_t readable, FileAggregate* agg, bool skim = false);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace claude_files
