#include "groups/doc_files.h"

#include "platform/files.h"
#include "platform/posix.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace groups {
namespace {

std::string sysError(const char* call, const std::string& path, int e) {
  return std::string(call) + " " + path + ": " + std::strerror(e);
}

}  // namespace

ReadResult readDocument(const std::string& path, std::string* out, std::string* err,
                        int64_t* mtimeMillis) {
  platform::ReadFailure why{};
  std::string detail;
  auto bytes = platform::readRegularFile(path, &why, &detail, MAX_DOCUMENT_BYTES + 1, mtimeMillis);
  if (!bytes) {
    switch (why) {
      case platform::ReadFailure::Missing:
        return ReadResult::Missing;
      case platform::ReadFailure::NotRegular:
        *err = path + " is a symbolic link or not a regular file";
        break;
      case platform::ReadFailure::TooLarge:
        *err = path + " is larger than " + std::to_string(MAX_DOCUMENT_BYTES >> 20) + " MiB";
        break;
      case platform::ReadFailure::Unreadable:
        *err = detail;
        break;
    }
    return ReadResult::Refused;
  }
  *out = platform::isValidUtf8(*bytes) ? std::move(*bytes) : platform::sanitizeUtf8(*bytes);
  return ReadResult::Ok;
}

platform::UniqueFd lockExclusive(const std::string& lockPath, std::string* err) {
  platform::UniqueFd lock{
      ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600)};
  if (!lock) {
    *err = sysError("open", lockPath, errno);
    return lock;
  }
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      *err = sysError("flock", lockPath, errno);
      return platform::UniqueFd{};
    }
  }
  return lock;
}

namespace {

// The lock taken, then the document as it stands; an invalid lock when either failed.
platform::UniqueFd lockAndRead(const std::string& lockPath, const std::string& path,
                               std::string* current, std::string* err) {
  platform::UniqueFd lock = lockExclusive(lockPath, err);
  if (lock && readDocument(path, current, err) == ReadResult::Refused) {
    lock.reset();
  }
  return lock;
}

}  // namespace

bool changeDocument(const std::string& lockPath, const std::string& path,
                    const std::function<bool(const std::string& current, std::string* next,
                                             std::string* err)>& change,
                    std::string* written, std::string* err) {
  // Released when `lock` closes, after the rename: the next writer reads our text.
  std::string current;
  platform::UniqueFd lock = lockAndRead(lockPath, path, &current, err);
  if (!lock) {
    return false;
  }
  std::string next;
  if (!change(current, &next, err)) {
    return false;
  }
  if (next.size() > MAX_DOCUMENT_BYTES) {
    *err = path + " would be larger than " + std::to_string(MAX_DOCUMENT_BYTES >> 20) + " MiB";
    return false;
  }
  struct stat st {};
  mode_t mode = ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_mode & 07777 : 0600;
  if (!platform::replaceFile(path, next, mode, err)) {
    return false;
  }
  *written = std::move(next);
  return true;
}

bool appendDocument(const std::string& lockPath, const std::string& path,
                    const std::function<std::string(const std::string& current)>& entry,
                    std::string* written, std::string* err) {
  std::string current;
  platform::UniqueFd lock = lockAndRead(lockPath, path, &current, err);
  if (!lock) {
    return false;
  }
  std::string bytes = entry(current);
  platform::UniqueFd fd{::open(
      path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600)};
  if (!fd) {
    *err = sysError("open", path, errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *err = path + " is not a regular file";
    return false;
  }
  if (static_cast<size_t>(st.st_size) + bytes.size() > MAX_DOCUMENT_BYTES) {
    *err = path + " would be larger than " + std::to_string(MAX_DOCUMENT_BYTES >> 20) + " MiB";
    return false;
  }
  if (!platform::writeAll(fd.get(), bytes.data(), bytes.size())) {
    *err = sysError("write", path, errno);
    return false;
  }
  *written = current + bytes;
  return true;
}

}  // namespace groups
