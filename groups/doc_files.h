#pragma once

// Markdown documents the user may also edit by hand: read only as regular files of bounded size
// (a link or a FIFO planted in their place is refused, never followed or waited on), written
// whole through a temporary file and a rename, and changed under an advisory lock so that two
// processes changing one document at the same moment both keep their change.

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

// Under an exclusive flock(2) of `lockPath`: reads `path` (missing is empty), passes it to
// `change`, and writes what it returns (mode 0600) atomically. `change` returning false aborts
// with its *err. *written receives the new text.
bool changeDocument(const std::string& lockPath, const std::string& path,
                    const std::function<bool(const std::string& current, std::string* next,
                                             std::string* err)>& change,
                    std::string* written, std::string* err);

}  // namespace groups
