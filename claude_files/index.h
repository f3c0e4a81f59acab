#pragma once

// What the companion knows of Claude Code's folder: the live sessions and one summary per session
// whose transcripts a question needed. A file is read once, then only the bytes appended since;
// one that shrank or was replaced is read again. Changes are learnt from a folder watch where the
// OS has one (with a full look every FULL_LOOK_EVERY as a safety net), else by looking at every
// file. Until the first full look, a question about sessions by id looks only where their files
// can be, so the first answer waits for no walk. Only aggregates are kept, never lines. Nothing
// here writes into the folder. Not thread-safe: one owner at a time.

#include "claude_files/summary.h"
#include "claude_files/summary_store.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace platform {
class FolderWatch;
}

namespace claude_files {

inline constexpr std::chrono::seconds FULL_LOOK_EVERY{60};

// $CLAUDE_CONFIG_DIR when set and non-empty, else ~/.claude.
std::string claudeDir();

struct IndexOptions {
  bool preFilter = true;          // false parses every line: the same summaries, more slowly
  SummaryStore* store = nullptr;  // aggregates kept across restarts; outlives the index
  bool watch = true;              // false: every refresh looks at every file
  unsigned threads = 0;           // readers for a large read; 0: min(4, cores)
};

// Which sessions a question needs current, besides the live ones and those already read.
struct Need {
  bool everything = false;
  int64_t modifiedSinceMillis = -1;     // sessions with a file modified since then
  std::vector<std::string> idPrefixes;  // sessions whose id starts with one of these
};

class Index {
 public:
  explicit Index(std::string claudeDir, IndexOptions options = {});
  ~Index();
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  void refresh(const Need& need);
  void refresh() { refresh(Need{true, -1, {}}); }

  const std::vector<LiveSession>& live() const { return m_live; }
  // The sessions read so far, in no particular order; a summary never changes once shared.
  const std::vector<std::shared_ptr<const TranscriptSummary>>& transcripts() const;
  std::shared_ptr<const TranscriptSummary> findTranscript(std::string_view sessionId) const;
  // Sessions with a transcript, read or not, and live sessions without one.
  size_t sessionsKnown() const { return m_known; }

  // The first full look and the watches, when every question so far needed sessions by id only.
  void walk();
  // Every folder looked at once: sessions not asked about are known too.
  bool walked() const { return m_fullLookAt != std::chrono::steady_clock::time_point{}; }

  const std::string& dir() const { return m_dir; }
  bool watching() const { return m_watch != nullptr; }
  // Of the last refresh: transcript bytes read, files looked at (stat), files taken from the store.
  uint64_t bytesReadLastRefresh() const { return m_bytesRead; }
  uint64_t filesLookedAtLastRefresh() const { return m_looked; }
  uint64_t filesRestoredLastRefresh() const { return m_restored; }

  // Rows for the store: files read since they were last given out, and paths gone. Stops early,
  // the rest kept for the next call, once *yield is true.
  std::vector<std::pair<std::string, StoredFile>> unsaved(std::vector<std::string>* gone,
                                                          const std::atomic<bool>* yield = nullptr);

 private:
  struct File;
  struct Session;
  struct Reader;

  void loadStamps();
  void lookAtChanges();
  void lookFor(const Need& need);
  void lookBelow(const std::string& folder);
  void lookAt(const std::string& path, int dirFd, const std::string& name);
  void forget(const std::string& path);
  std::set<std::string> wanted(const Need& need) const;
  void makeCurrent(const std::set<std::string>& keys);
  void restoreAll(const std::vector<std::pair<const std::string*, File*>>& missing);
  void rebuild(const std::string& key, Session* s);

  std::string m_dir;
  std::string m_projects;
  IndexOptions m_options;
  std::unique_ptr<platform::FolderWatch> m_watch;
  std::chrono::steady_clock::time_point m_fullLookAt{};
  bool m_projectsMissing = false;
  std::unique_ptr<Reader> m_reader;
  std::map<std::string, File> m_files;  // by path
  std::map<std::string, Session> m_sessions;
  std::set<std::string> m_touched;  // read sessions with a file that changed
  std::unique_ptr<std::unordered_map<std::string, StoredFile>> m_stored;
  std::set<std::string> m_unsaved;
  std::vector<std::string> m_gone;
  std::vector<LiveSession> m_live;
  mutable std::vector<std::shared_ptr<const TranscriptSummary>> m_shared;
  mutable bool m_sharedStale = true;
  size_t m_known = 0;
  uint64_t m_walks = 0;
  uint64_t m_bytesRead = 0, m_looked = 0, m_restored = 0;
};

}  // namespace claude_files
