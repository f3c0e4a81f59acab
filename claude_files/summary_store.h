#pragma once

// Per-file aggregates kept across restarts in an SQLite file of their own, so that a restart reads
// only what changed. A row says which bytes it counted; the index checks that against the file
// before trusting it. Reading and writing use one connection each, so the one thread that writes
// in the background never holds up the one that reads.

#include <cstdint>
#include <memory>
#include <optional>
#include <sqlite3.h>
#include <string>
#include <unordered_map>
#include <vector>

namespace claude_files {

// Bumped when stored rows lack something the summary now holds: every file is then read again.
inline constexpr int STORE_SCHEMA = 3;

// Which bytes of which file an aggregate counted.
struct FileStamp {
  uint64_t dev = 0;
  uint64_t ino = 0;
  int64_t size = 0;
  int64_t mtimeNs = 0;
  int64_t counted = 0;  // bytes applied, ending at a line's end
  uint64_t tail = 0;    // tailHash of the bytes before `counted`
  bool operator==(const FileStamp&) const = default;
};

struct StoredFile {
  std::string sessionKey;
  FileStamp stamp;
  std::string data;  // encodeAggregate's bytes; empty in stamps()
};

class SummaryStore {
 public:
  // Opens or creates `path` (mode 0600). One that will not open, is no database or of another
  // schema is moved aside to `path`.damaged and made anew; *note then says so. Null only when no
  // store can be made at all (*note says why); the index then reads everything as before.
  static std::unique_ptr<SummaryStore> open(const std::string& path, std::string* note);
  ~SummaryStore();
  SummaryStore(const SummaryStore&) = delete;
  SummaryStore& operator=(const SummaryStore&) = delete;

  // Reading side: every row by path, without its data; then one whole row.
  std::unordered_map<std::string, StoredFile> stamps();
  std::optional<StoredFile> row(const std::string& path);

  // Writing side, in one transaction: rows put by path, paths removed.
  bool write(const std::vector<std::pair<std::string, StoredFile>>& rows,
             const std::vector<std::string>& gone);

 private:
  SummaryStore() = default;
  sqlite3* m_read = nullptr;
  sqlite3* m_write = nullptr;
  sqlite3_stmt* m_select = nullptr;  // of row(), prepared once
};

// FNV-1a of `n` bytes, never 0: the check of a file's bytes before its counted offset.
uint64_t tailHash(const char* bytes, size_t n);

}  // namespace claude_files
