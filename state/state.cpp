#include "state/state.h"

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace state {
namespace {

constexpr const char* COMPANION_SOCKET = "sessions.sock";

// Made 0700 when missing; a folder of ours that is wider is narrowed. False unless `path` is then a
// real folder of ours.
bool privateFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0) {
    ::chmod(path.c_str(), 0700);  // whatever the umask
  } else if (errno != EEXIST) {
    return false;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    return false;
  }
  return (st.st_mode & 077) == 0 || ::chmod(path.c_str(), 0700) == 0;
}

// A folder nobody else can have put anything into: ours, mode 0700 exactly, not a link.
bool sealedFolder(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 07777) == 0700;
}

std::string runtimeName() {
  auto runtime = platform::envVar("XDG_RUNTIME_DIR");
  if (runtime && !runtime->empty()) {
    return *runtime + "/corvane";
  }
  return "/tmp/corvane-" + std::to_string(::geteuid());
}

std::string parentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// The fresh folder another process of ours chose, when ~/.corvane/runtime still names one.
std::string rememberedFolder(const std::string& pointer, const std::string& name) {
  auto target = pointer.empty() ? std::nullopt : platform::readLink(pointer);
  if (target && target->starts_with(name + "-") && sealedFolder(*target)) {
    return *target;
  }
  return "";
}

bool hasDots(const std::string& path) {
  for (size_t at = 0; at != std::string::npos; at = path.find('/', at + 1)) {
    std::string_view part = std::string_view(path).substr(at + 1);
    part = part.substr(0, part.find('/'));
    if (part == "." || part == "..") {
      return true;
    }
  }
  return false;
}

bool fits(const std::string& path) {
  return path.size() < platform::sunPathSize();
}

}  // namespace

std::string dir() {
  std::string home = platform::homeDir();
  if (home.empty()) {
    return "";
  }
  // A home that is not there is not made: a process outliving a removed home would otherwise
  // bring it back.
  std::string path = home + "/.corvane";
  privateFolder(path);
  return path;
}

std::string folder(std::string_view name) {
  std::string base = dir();
  if (base.empty()) {
    return "";
  }
  std::string path = base + "/" + std::string(name);
  privateFolder(path);
  return path;
}

std::string file(std::string_view name) {
  std::string base = dir();
  return base.empty() ? "" : base + "/" + std::string(name);
}

std::string runtimeDir() {
  std::string name = runtimeName();
  if (::mkdir(name.c_str(), 0700) == 0) {
    ::chmod(name.c_str(), 0700);
  }
  if (sealedFolder(name)) {
    return name;
  }
  // Someone else holds the name (or made it open to others): it is never used, and never lets
  // them lock us out either.
  std::string home = dir();
  std::string pointer = home.empty() ? "" : home + "/runtime";
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (std::string known = rememberedFolder(pointer, name); !known.empty()) {
      return known;
    }
    if (!pointer.empty() && attempt > 0) {
      platform::removeFile(pointer);  // names a folder that is gone or no longer private
    }
    std::vector<char> buf(name.begin(), name.end());
    for (char c : std::string_view("-XXXXXX")) {
      buf.push_back(c);
    }
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) {
      return "";
    }
    std::string fresh(buf.data());
    std::string reason;
    if (pointer.empty() || platform::makeSymlink(fresh, pointer, &reason)) {
      return fresh;
    }
    ::rmdir(fresh.c_str());  // another process named its folder first: use that one
  }
  return "";
}

std::string socketPath(const std::string& folder, const std::string& name) {
  std::string inFolder = folder + "/" + name;
  if (!folder.empty() && fits(inFolder)) {
    return inFolder;
  }
  std::string runtime = runtimeDir();
  std::string inRuntime = runtime + "/" + name;
  return !runtime.empty() && fits(inRuntime) ? inRuntime : "";
}

std::string companionSocket() {
  return socketPath(dir(), COMPANION_SOCKET);
}

bool isOurSocket(const std::string& path) {
  if (!path.starts_with('/') || hasDots(path)) {
    return false;
  }
  std::string parent = parentOf(path);
  std::string name = path.substr(parent.size() + 1);
  if (parent.empty() || !name.ends_with(".sock") || name.size() <= 5 || name == COMPANION_SOCKET) {
    return false;
  }
  std::string home = dir();
  std::string runtime = runtimeName();
  bool ourFolder = (!home.empty() && (parent == home || parentOf(parent) == home)) ||
                   parent == runtime ||
                   (!home.empty() && parent == rememberedFolder(home + "/runtime", runtime));
  struct stat st {};
  return ourFolder && ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
         st.st_uid == ::geteuid();
}

platform::UniqueFd openLog() {
  std::string path = file("companion.log");
  if (path.empty()) {
    return {};
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > LOG_CAP) {
    ::rename(path.c_str(), (path + ".1").c_str());
  }
  // Never through a link, never waiting for a FIFO's reader.
  platform::UniqueFd fd{::open(
      path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600)};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    return {};
  }
  return fd;
}

void capLog(int fd) {
  struct stat now {
  }, named{};
  std::string path = file("companion.log");
  if (path.empty() || ::fstat(fd, &now) != 0 || now.st_size <= LOG_CAP ||
      ::lstat(path.c_str(), &named) != 0 || now.st_dev != named.st_dev ||
      now.st_ino != named.st_ino) {
    return;
  }
  platform::UniqueFd fresh = openLog();
  if (fresh) {
    ::dup2(fresh.get(), STDOUT_FILENO);
    ::dup2(fresh.get(), STDERR_FILENO);
  }
}

}  // namespace state
