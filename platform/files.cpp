#include "platform/files.h"

#include "platform/posix.h"
#include "platform/unique_fd.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

std::string sysError(const char* call, const std::string& path, int e) {
  return std::string(call) + " " + path + ": " + std::strerror(e);
}

// Reads to the end; false on a read error (errno kept) or once `limit` bytes are in, since the
// file may grow while it is read.
bool readUpTo(int fd, std::string* out, size_t limit) {
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return n == 0;
    }
    out->append(buf, static_cast<size_t>(n));
    if (out->size() >= limit) {
      return false;
    }
  }
}

}  // namespace

std::string homeDir() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') {
    return home;
  }
  const passwd* pw = ::getpwuid(::getuid());
  return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "";
}

bool makeDirs(const std::string& path) {
  // Mostly the folder is there already: one call, not one per component.
  if (::mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && isDirectory(path))) {
    return true;
  }
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      std::string prefix = path.substr(0, i);
      if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
        return false;
      }
    }
  }
  return isDirectory(path);
}

std::optional<std::string> readFile(const std::string& path) {
  UniqueFd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  std::string out;
  if (!fd || !readUpTo(fd.get(), &out, SIZE_MAX)) {
    return std::nullopt;
  }
  return out;
}

std::optional<std::string> readRegularFile(const std::string& path, ReadFailure* why,
                                           std::string* err, size_t limit, int64_t* mtimeMillis) {
  auto fail = [&](ReadFailure failure, const char* call, int e) -> std::optional<std::string> {
    if (why != nullptr) {
      *why = failure;
    }
    if (err != nullptr) {
      *err = sysError(call, path, e);
    }
    return std::nullopt;
  };
  UniqueFd fd{::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  if (!fd) {
    int e = errno;
    // ELOOP: the last component is a symbolic link.
    return fail(e == ENOENT  ? ReadFailure::Missing
                : e == ELOOP ? ReadFailure::NotRegular
                             : ReadFailure::Unreadable,
                "open", e);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    return fail(ReadFailure::Unreadable, "fstat", errno);
  }
  if (!S_ISREG(st.st_mode)) {
    return fail(ReadFailure::NotRegular, "fstat", EINVAL);
  }
  if (static_cast<uint64_t>(st.st_size) >= limit) {
    return fail(ReadFailure::TooLarge, "fstat", EFBIG);
  }
  std::string out;
  if (!readUpTo(fd.get(), &out, limit)) {
    return out.size() >= limit ? fail(ReadFailure::TooLarge, "read", EFBIG)
                               : fail(ReadFailure::Unreadable, "read", errno);
  }
  if (mtimeMillis != nullptr) {
    *mtimeMillis = static_cast<int64_t>(st.st_mtime) * 1000;
  }
  return out;
}

bool createFile(const std::string& path, std::string_view bytes, mode_t mode, std::string* err) {
  UniqueFd fd{::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode)};
  if (!fd) {
    *err = sysError("open", path, errno);
    return false;
  }
  // The umask may have narrowed the mode; the file must carry exactly `mode`.
  if (::fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), bytes.data(), bytes.size())) {
    int e = errno;
    fd.reset();
    ::unlink(path.c_str());
    *err = sysError("write", path, e);
    return false;
  }
  return true;
}

bool replaceFile(const std::string& path, std::string_view bytes, mode_t mode, std::string* err) {
  std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." + randomUUID();
  if (!createFile(tmp, bytes, mode, err)) {
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    *err = sysError("rename", path, errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

void removeFile(const std::string& path) {
  ::unlink(path.c_str());
}

std::optional<std::vector<std::string>> listDir(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) {
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(std::move(name));
    }
  }
  ::closedir(dir);
  return names;
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::optional<std::string> readLink(const std::string& path) {
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink(path.c_str(), buf, PATH_MAX);
  if (n < 0) {
    return std::nullopt;
  }
  return std::string(buf, static_cast<size_t>(n));
}

bool isWritable(const std::string& path) {
  return ::access(path.c_str(), W_OK) == 0;
}

bool makeSymlink(const std::string& target, const std::string& path, std::string* reason) {
  if (::symlink(target.c_str(), path.c_str()) == 0) {
    return true;
  }
  *reason = std::strerror(errno);
  return false;
}

std::string resolvePath(const std::string& path) {
  char buf[PATH_MAX + 1] = {};
  return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

std::string currentDir() {
  char buf[PATH_MAX + 1] = {};
  return ::getcwd(buf, sizeof(buf)) != nullptr ? std::string(buf) : std::string();
}

std::string findExecutable(const std::string& name, std::string_view searchPath) {
  for (;;) {
    size_t colon = searchPath.find(':');
    std::string dir(searchPath.substr(0, colon));
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (colon == std::string_view::npos) {
      return "";
    }
    searchPath.remove_prefix(colon + 1);
  }
}

}  // namespace platform
