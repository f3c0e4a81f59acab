#pragma once

// What the index keeps of each file and session, shared by its two sources: index.cpp (what is
// read and kept) and index_look.cpp (what is looked at on disk). Not for other modules.

#include "claude_files/file_read.h"
#include "claude_files/index.h"

#include <sys/stat.h>

namespace claude_files {

struct Index::File {
  std::string sessionKey;
  FileState state;
  FileStamp seen;         // at the latest look
  uint64_t lookedAt = 0;  // the walk that last found it
  bool evicted = false;   // folded into its session, its aggregate left in the store only
};

struct Index::Session {
  std::set<std::string> paths;
  bool loaded = false;  // read once, so kept current from then on
  bool dirty = true;    // its summary must be folded again
  int64_t newestMtimeNs = 0;
  std::shared_ptr<const TranscriptSummary> summary;
};

struct Index::Reader : FileReader {};

FileStamp stampOf(const struct stat& st);
// Same file, same size, same modification time: nothing to read.
bool sameBytes(const FileStamp& a, const FileStamp& b);
// The session id of a key "<folder>/<id>".
std::string idOf(const std::string& key);

}  // namespace claude_files
