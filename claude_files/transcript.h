#pragma once

// One transcript file read as it grows: appended bytes in, aggregates out. A line is applied once
// its line feed has arrived (or, at the file's end, once it is a whole JSON object). Nothing here
// opens a file.

#include "claude_files/record.h"
#include "claude_files/summary.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace claude_files {

// Longer lines are skipped rather than held in memory. Claude Code keeps a tool result to 100,000
// characters and an image to 5 MiB of base64, so a line of its own stays well under this.
inline constexpr size_t MAX_LINE = size_t{8} << 20;
// What the partial lines of every reader together may hold; a line that would pass it is skipped.
inline constexpr size_t PARTIAL_BUDGET = size_t{24} << 20;

class TranscriptReader {
 public:
  // `main`: the session's own conversation; otherwise a subagent's, with usage under `agent`.
  TranscriptReader(bool main, std::string agent, bool preFilter = true);
  ~TranscriptReader();
  TranscriptReader(const TranscriptReader&) = delete;
  TranscriptReader& operator=(const TranscriptReader&) = delete;
  // Goes on from aggregates kept across a restart, whose bytes ended at a line's end.
  explicit TranscriptReader(FileAggregate restored, bool preFilter = true);
  // Reads a part of a file from a line's start while another reader reads the part before it.
  static std::unique_ptr<TranscriptReader> laterPart(bool main, std::string agent, bool preFilter);

  // The next bytes of the file; `padding` bytes past their end are readable as well.
  void feed(std::string_view bytes, size_t padding, LineParser& parser);
  // At the file's current end: a last record complete but for its line feed is applied now.
  void finish(LineParser& parser);

  // Takes over the part read by `later`, which began where this one's bytes end, as if this
  // reader had read it; `later` is spent. False, this reader unchanged, when that part cannot be
  // added so (a path whose folder only this part knew, an answer counted on both sides that is
  // not among the later part's first): read it again here then.
  bool join(TranscriptReader& later);

  // Files its usage under another agent name (the subagent's type, once its meta file is read).
  void relabel(const std::string& agent);

  const FileAggregate& aggregate() const { return m_agg; }
  // Bytes fed but not applied yet (a line whose end has not come); nullopt while a line too long
  // to keep is being skipped.
  std::optional<size_t> unapplied() const {
    return m_dropping ? std::nullopt : std::optional<size_t>(m_partial.size());
  }

 private:
  bool hold(std::string_view piece);
  void forget();

  FileAggregate m_agg;
  std::string m_partial;
  size_t m_held = 0;        // of PARTIAL_BUDGET, taken by m_partial
  bool m_dropping = false;  // inside a line being skipped
  bool m_preFilter;
};

// Folds one file's aggregates into its session's summary (sessionId is the caller's to set).
void mergeInto(TranscriptSummary* session, const FileAggregate& file);

}  // namespace claude_files
