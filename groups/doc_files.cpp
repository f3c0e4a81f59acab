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
  platform::UniqueFd fd{::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  if (!fd) {
    int e = errno;
    if (e == ENOENT) {
      return ReadResult::Missing;
    }
    *err = e == ELOOP ? path + " is a symbolic link" : sysError("open", path, e);
    return ReadResult::Refused;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    *err = sysError("fstat", path, errno);
    return ReadResult::Refused;
  }
  if (!S_ISREG(st.st_mode)) {
    *err = path + " is not a regular file";
    return ReadResult::Refused;
  }
  if (static_cast<size_t>(st.st_size) > MAX_DOCUMENT_BYTES) {
    *err = path + " is larger than " + std::to_string(MAX_DOCUMENT_BYTES >> 20) + " MiB";
    return ReadResult::Refused;
  }
  std::string bytes;
  char buf[16384];
  while (bytes.size() <= MAX_DOCUMENT_BYTES) {
    ssize_t n = ::read(fd.get(), buf, sizeof(buf));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      *err = sysError("read", path, errno);
      return ReadResult::Refused;
    }
    if (n == 0) {
      break;
    }
    bytes.append(buf, static_cast<size_t>(n));
  }
  if (bytes.size() > MAX_DOCUMENT_BYTES) {
    *err = path + " is larger than " + std::to_string(MAX_DOCUMENT_BYTES >> 20) + " MiB";
    return ReadResult::Refused;
  }
  *out = platform::isValidUtf8(bytes) ? std::move(bytes) : platform::sanitizeUtf8(bytes);
  if (mtimeMillis != nullptr) {
    *mtimeMillis = static_cast<int64_t>(st.st_mtime) * 1000;
  }
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
