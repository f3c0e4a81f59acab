#include "groups/doc_files.h"

#include "platform/files.h"
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

bool changeDocument(const std::string& lockPath, const std::string& path,
                    const std::function<bool(const std::string& current, std::string* next,
                                             std::string* err)>& change,
                    std::string* written, std::string* err) {
  platform::UniqueFd lock{
      ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)};
  if (!lock) {
    *err = sysError("open", lockPath, errno);
    return false;
  }
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      *err = sysError("flock", lockPath, errno);
      return false;
    }
  }
  // The lock is released when `lock` closes, after the rename: the next writer reads our text.
  std::string current;
  if (readDocument(path, &current, err) == ReadResult::Refused) {
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
  if (!platform::replaceFile(path, next, 0600, err)) {
    return false;
  }
  *written = std::move(next);
  return true;
}

}  // namespace groups
