#pragma once

// Being told of changes in folders instead of looking at every file again: inotify on Linux,
// kqueue on macOS. kqueue tells only that a folder's entries changed, not which, and of a file's
// appends only through a descriptor held on that very file: there seesAppends() is false, changes
// name the folder alone, and callers look at the files being written themselves.

#include <memory>
#include <string>
#include <vector>

namespace platform {

struct FolderChange {
  std::string folder;  // as given to add()
  std::string name;    // the entry that changed; empty when the folder itself went away
  bool isFolder = false;
};

class FolderWatch {
 public:
  // Null when watching is unavailable (no inotify, or its instance limit reached).
  static std::unique_ptr<FolderWatch> open();
  virtual ~FolderWatch() = default;
  // False where appends to a file already there are not reported.
  virtual bool seesAppends() const { return true; }

  // Reports entries of `folder` (not below it) that are created, written, moved or removed.
  // False when refused, e.g. at the limit of watches: the caller then looks for itself.
  virtual bool add(const std::string& folder) = 0;
  // The changes queued since the last call, without waiting. *lost is set when the OS dropped
  // some (its queue overflowed), so that everything must be looked at again.
  virtual std::vector<FolderChange> take(bool* lost) = 0;
};

}  // namespace platform
