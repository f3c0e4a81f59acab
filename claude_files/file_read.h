#pragma once

// Reading transcript files' appended bytes into their readers, several files at once on a few
// threads when there is much to read, and a file larger than a thread's share in parts at once.

#include "claude_files/record.h"
#include "claude_files/summary_store.h"
#include "claude_files/transcript.h"

#include <chrono>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace claude_files {

// One file's reader and which of its bytes it has applied.
struct FileState {
  bool main = true;
  bool named = true;  // a subagent's type is known (else its file name stands in)
  std::string agent = "main";
  std::unique_ptr<TranscriptReader> reader;  // null until read or restored
  FileStamp read;          // dev, ino, size and mtime of the bytes fed; counted and tail
  int64_t consumed = 0;    // bytes fed to the reader
  int64_t sizeAtRead = 0;  // the file's size then: more than consumed when reading stopped early
  bool persistable = false;

  void relabel(const std::string& name);
  // Takes over aggregates kept across a restart.
  void adopt(FileAggregate agg, const FileStamp& stamp, bool preFilter);
};

// A reading thread's parser and buffer.
struct FileReader {
  FileReader();
  LineParser parser;
  std::unique_ptr<char[]> buffer;
};

struct ReadJob {
  const std::string* path;
  FileState* state;
  int64_t bytes;  // expected, to start the largest first
};

// Reads every job's new bytes on up to `threads` threads, `own` being the caller's, each thread
// stopping once it has spent `budget` of processor time (the rest is read next time). The total
// read, a part read twice (its join refused) counted twice.
uint64_t readAll(std::vector<ReadJob>& jobs, FileReader& own, unsigned threads, bool preFilter,
                 std::chrono::nanoseconds budget);

// The file's bytes before `counted` still hash to `tail`.
bool tailMatches(const std::string& path, int64_t counted, uint64_t tail);

}  // namespace claude_files
