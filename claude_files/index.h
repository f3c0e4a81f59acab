#pragma once

// Everything the companion knows of Claude Code's folder, kept current by refresh(): the live
// sessions and one summary per session's transcripts. A transcript is read once, then only the
// bytes appended since; a file that shrank or was replaced is read again from the start. Only
// aggregates are kept, never lines. Nothing here writes into the folder. Not thread-safe: one owner
// at a time.

#include "claude_files/record.h"
#include "claude_files/summary.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace claude_files {

// $CLAUDE_CONFIG_DIR when set and non-empty, else ~/.claude.
std::string claudeDir();

class Index {
 public:
  // `preFilter` false parses every line, which gives the same summaries more slowly.
  explicit Index(std::string claudeDir, bool preFilter = true);
  ~Index();
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  void refresh();

  const std::vector<LiveSession>& live() const { return m_live; }
  // In no particular order; an entry keeps its place until its session's files are gone.
  const std::vector<TranscriptSummary>& transcripts() const { return m_transcripts; }
  std::optional<size_t> findTranscript(std::string_view sessionId) const;

  const std::string& dir() const { return m_dir; }
  // Transcript bytes read by the last refresh (the appended ones only, once warm).
  uint64_t bytesReadLastRefresh() const { return m_bytesRead; }

 private:
  struct File;
  using FileKey = std::pair<std::string, std::string>;  // session key, path

  void scanProjects();
  void scanSubagents(const std::string& sessionKey, const std::string& dir, int atFd,
                     const std::string& relative, int depth);
  void visit(const std::string& sessionKey, const std::string& path, int dirFd,
             const std::string& name, bool main);
  void readAppended(const std::string& path, File* file);
  void rebuild(const std::string& sessionKey);

  std::string m_dir;
  bool m_preFilter;
  LineParser m_parser;
  std::map<FileKey, std::unique_ptr<File>> m_files;
  std::set<std::string> m_dirty;          // session keys whose summary must be folded again
  std::map<std::string, size_t> m_slots;  // session key -> place in m_transcripts
  std::vector<std::string> m_slotKeys;    // the other way round
  std::vector<LiveSession> m_live;
  std::vector<TranscriptSummary> m_transcripts;
  std::unordered_map<std::string, size_t> m_byId;
  std::unique_ptr<char[]> m_buffer;
  uint64_t m_generation = 0;
  uint64_t m_bytesRead = 0;
  std::chrono::steady_clock::time_point m_readUntil;  // this refresh stops reading then
};

}  // namespace claude_files
