#pragma once

// Markdown documents the user may also edit by hand: read only as regular files of bounded size
// (a link or a FIFO planted in their place is refused, never followed or waited on), appended to
// in place or written whole through a temporary file and a rename, their mode kept, and changed
// under an advisory lock so that two processes changing one document at once both keep their
// change.

#include "platform/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace groups {

inline constexpr size_t MAX_DOCUMENT_BYTES = 4 << 20;

enum class ReadResult { Ok, Missing, Refused };

// *out is the text with ill-formed UTF-8 replaced; *mtimeMillis (when given) its modification
// time. Refused: *err says why (a link, not a regular file, over the cap, an I/O error).
ReadResult readDocument(const std::string& path, std::string* out, std::string* err,
                        int64_t* mtimeMillis = nullptr);

// An exclusive flock(2) of `lockPath` (created 0600), held until the descriptor closes; an
// empty descriptor and *err when it cannot be had.
platform::UniqueFd lockExclusive(const std::string& lockPath, std::string* err);

// Under the lock of `lockPath`: reads `path` (missing is empty), passes it to `change`, and
// writes what it returns atomically, with the mode the file had (0600 for a new one). `change`
// returning false aborts with its *err. *written receives the new text.
bool changeDocument(const std::string& lockPath, const std::string& path,
                    const std::function<bool(const std::string& current, std::string* next,
                                             std::string* err)>& change,
                    std::string* written, std::string* err);

// Under the lock of `lockPath`: appends to `path` (created 0600 when missing) the bytes `entry`
// makes of its current text. The bytes already there are never rewritten, so they stay as they
// were, UTF-8 or not, and so does the mode. *written receives the text after the append.
bool appendDocument(const std::string& lockPath, const std::string& path,
                    const std::function<std::string(const std::string& current)>& entry,
                    std::string* written, std::string* err);

}  // namespace groups
