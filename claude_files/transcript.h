#pragma once

// One transcript file read as it grows: appended bytes in, aggregates out. A line is applied once
// its line feed has arrived (or, at the file's end, once it is a whole JSON object). Nothing here
// opens a file.

#include "claude_files/record.h"
#include "claude_files/summary.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace claude_files {

// Longer lines are dropped unread rather than held in memory.
inline constexpr size_t MAX_LINE = size_t{64} << 20;

class TranscriptReader {
 public:
  // `main`: the session's own conversation; otherwise a subagent's, with usage under `agent`.
  TranscriptReader(bool main, std::string agent, bool preFilter = true);
  // Goes on from aggregates kept across a restart, whose bytes ended at a line's end.
  explicit TranscriptReader(FileAggregate restored, bool preFilter = true);

  // The next bytes of the file; `padding` bytes past their end are readable as well.
  void feed(std::string_view bytes, size_t padding, LineParser& parser);
  // At the file's current end: a last record complete but for its line feed is applied now.
  void finish(LineParser& parser);

  // Files its usage under another agent name (the subagent's type, once its meta file is read).
  void relabel(const std::string& agent);

  const FileAggregate& aggregate() const { return m_agg; }
  // Bytes fed but not applied yet (a line whose end has not come); nullopt while a line too long
  // to keep is being skipped.
  std::optional<size_t> unapplied() const {
    return m_dropping ? std::nullopt : std::optional<size_t>(m_partial.size());
  }

 private:
  FileAggregate m_agg;
  std::string m_partial;
  bool m_dropping = false;  // inside a line longer than MAX_LINE
  bool m_preFilter;
};

// Folds one file's aggregates into its session's summary (sessionId is the caller's to set).
void mergeInto(TranscriptSummary* session, const FileAggregate& file);

}  // namespace claude_files
