#pragma once

// Where Claude Code keeps transcripts: `projects/<folder>/<session>.jsonl`, and its subagents'
// under `projects/<folder>/<session>/subagents/` (nested at most SUBAGENT_DEPTH deep), each
// with an `agent-<id>.meta.json` beside it that names the agent's type.

#include <dirent.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace claude_files {

inline constexpr int SUBAGENT_DEPTH = 8;

struct FolderEntry {
  std::string name;
  bool folder = false;
};

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

// A folder's entries, with the folder kept open so that its files are looked at by name alone.
struct Listing {
  std::unique_ptr<DIR, DirCloser> dir;
  std::vector<FolderEntry> entries;
  int fd() const { return dir ? ::dirfd(dir.get()) : -1; }
};

// `path` opened relative to the open folder `at` (AT_FDCWD: the working directory).
Listing listFolder(int at, const std::string& path);

// What a path below `projects/` is, from its parts alone.
struct TranscriptPlace {
  std::string sessionKey;  // "<folder>/<session id>"
  bool main = true;        // the session's own transcript, not a subagent's
};
// nullopt for anything that is no transcript's place. `relative` is the path below projects/.
std::optional<TranscriptPlace> placeOf(const std::string& relative);

// The subagent's type from the meta file beside its transcript, else the file's name.
std::string agentName(const std::string& transcriptPath);
// The file's own name without `.jsonl`, which stands in for an unnamed agent.
std::string fileStem(const std::string& path);

// A whole session id as Claude Code writes it (a UUID), so its files' names are known: a prefix
// of one must be looked for among the names.
bool isSessionId(std::string_view text);

bool endsWith(const std::string& s, std::string_view tail);

}  // namespace claude_files
