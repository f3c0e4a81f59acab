#pragma once

// File-system operations with errors as values. Nothing here logs or ends the process.

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace platform {

// $HOME when set and non-empty, else the password database's entry; "" when neither exists.
std::string homeDir();

// mkdir -p with default permissions; false when the directory does not exist afterwards.
bool makeDirs(const std::string& path);

// The whole file, unbounded and following links: only for files this process made itself (tests,
// benchmarks). Anything another program may have placed goes through readRegularFile.
std::optional<std::string> readFile(const std::string& path);

// Why readRegularFile gave nothing; callers treat a missing file apart from a planted one.
enum class ReadFailure { Missing, NotRegular, TooLarge, Unreadable };

inline constexpr size_t SMALL_FILE_LIMIT = 1 << 20;

// The whole file when `path` itself (never a symbolic link) is a regular file smaller than `limit`
// bytes. Opens without following a final link and without blocking, so a FIFO, a device or a link
// to one is refused at once instead of hanging or filling memory. *why (when given) says which
// failure; *err (when given) names call, path and errno; *mtimeMillis (when given) is the file's
// modification time.
std::optional<std::string> readRegularFile(const std::string& path, ReadFailure* why = nullptr,
                                           std::string* err = nullptr,
                                           size_t limit = SMALL_FILE_LIMIT,
                                           int64_t* mtimeMillis = nullptr);

// Creates a new file (never follows or reuses an existing entry) holding exactly `bytes`, with
// `mode` regardless of umask. On failure nothing is left at `path`; *err names call and errno.
bool createFile(const std::string& path, std::string_view bytes, mode_t mode, std::string* err);

// Writes `bytes` to a fresh temporary name in the same folder, then renames it over `path`, so a
// reader sees either the old file or the whole new one. The temporary name never ends in `.json`.
bool replaceFile(const std::string& path, std::string_view bytes, mode_t mode, std::string* err);

// unlink(2); a missing file is not an error and nothing is reported.
void removeFile(const std::string& path);

std::optional<std::vector<std::string>> listDir(const std::string& path);

bool isDirectory(const std::string& path);
bool exists(const std::string& path);  // lstat: a dangling link exists
std::optional<std::string> readLink(const std::string& path);

// access(W_OK): this process may create entries in (or write) `path`.
bool isWritable(const std::string& path);

// symlink(2) at `path` pointing at `target`; on failure *reason is the error's description alone.
bool makeSymlink(const std::string& target, const std::string& path, std::string* reason);

// Absolute path with every symbolic link, "." and ".." resolved; "" on failure.
std::string resolvePath(const std::string& path);

std::string currentDir();

// The first entry of `searchPath` (split at ":", an empty entry meaning ".") holding an executable
// regular file called `name`; "" when none does.
std::string findExecutable(const std::string& name,
                           std::string_view searchPath);  // "" when it cannot be determined

}  // namespace platform
