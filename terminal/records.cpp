#include "terminal/records.h"

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace terminal {
namespace {

constexpr const char* SUFFIX = ".json";

bool fits(const std::string& path) {
  return path.size() < platform::sunPathSize();
}

// A folder of ours that nobody else can enter: made 0700 if missing, and refused when it is a
// link, another user's, or open to others.
bool privateDir(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    return false;
  }
  struct stat st {};
  return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 077) == 0;
}

std::string runtimeDir() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  return xdg != nullptr && xdg[0] == '/' ? xdg : "";
}

std::string tmpDir() {
  return "/tmp/corvane-" + std::to_string(::geteuid());
}

bool endsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

std::string parentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

void removeOurSocket(const std::string& stateDir, const std::string& path) {
  std::string dir = parentOf(path);
  std::string file = path.substr(dir.size() + 1);
  bool ours = dir == stateDir + "/terminals" || dir == tmpDir() ||
              (!runtimeDir().empty() && dir == runtimeDir() && file.rfind("corvane-", 0) == 0);
  struct stat st {};
  if (ours && endsWith(path, ".sock") && ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
      st.st_uid == ::geteuid()) {
    platform::removeFile(path);
  }
}

}  // namespace

Json toJson(const Record& r) {
  return Json{{"id", r.id},
              {"name", r.name},
              {"folder", r.folder},
              {"pid", r.pid},
              {"controlSocket", r.controlSocket},
              {"startedAt", r.startedAt}};
}

std::optional<Record> recordFromJson(const Json& j) {
  if (!j.is_object()) {
    return std::nullopt;
  }
  auto str = [&](const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  auto num = [&](const char* key) -> std::optional<int64_t> {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_integer()) {
      return std::nullopt;
    }
    return it->get<int64_t>();
  };
  Record r{str("id"),
           str("name"),
           str("folder"),
           num("pid").value_or(0),
           str("controlSocket"),
           num("startedAt").value_or(0)};
  if (r.id.empty() || r.name.empty() || r.folder.empty() || r.controlSocket.empty() || r.pid < 1) {
    return std::nullopt;
  }
  return r;
}

std::string terminalsDir(const std::string& stateDir) {
  std::string dir = stateDir + "/terminals";
  ::mkdir(dir.c_str(), 0700);
  return dir;
}

std::vector<Record> listTerminals(const std::string& stateDir) {
  std::string dir = stateDir + "/terminals";
  std::vector<Record> out;
  for (const auto& entry : platform::listDir(dir).value_or(std::vector<std::string>{})) {
    if (!endsWith(entry, SUFFIX)) {
      continue;
    }
    auto text = platform::readFile(dir + "/" + entry);
    auto record = text ? recordFromJson(base::parseJson(*text)) : std::nullopt;
    if (record && entry == record->id + SUFFIX) {
      out.push_back(std::move(*record));
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const Record& a, const Record& b) {
    return a.startedAt != b.startedAt ? a.startedAt < b.startedAt : a.id < b.id;
  });
  return out;
}

bool terminalAlive(const Record& record) {
  return platform::processAlive(record.pid);
}

std::string uniqueName(const std::string& base, const std::vector<std::string>& taken) {
  auto free = [&](const std::string& name) {
    return std::find(taken.begin(), taken.end(), name) == taken.end();
  };
  if (free(base)) {
    return base;
  }
  for (size_t n = 2;; ++n) {
    std::string name = base + "-" + std::to_string(n);
    if (free(name)) {
      return name;
    }
  }
}

std::optional<std::string> controlSocketPath(const std::string& stateDir, const std::string& id) {
  std::string file = id.substr(0, 8) + ".sock";
  std::string inState = terminalsDir(stateDir) + "/" + file;
  if (fits(inState)) {
    return inState;
  }
  std::string xdg = runtimeDir();
  if (!xdg.empty() && fits(xdg + "/corvane-" + file) && platform::isDirectory(xdg)) {
    return xdg + "/corvane-" + file;
  }
  std::string tmp = tmpDir() + "/" + file;
  if (fits(tmp) && privateDir(tmpDir())) {
    return tmp;
  }
  return std::nullopt;
}

void pruneTerminals(const std::string& stateDir) {
  std::string dir = stateDir + "/terminals";
  for (const auto& entry : platform::listDir(dir).value_or(std::vector<std::string>{})) {
    if (!endsWith(entry, SUFFIX)) {
      continue;
    }
    std::string path = dir + "/" + entry;
    auto text = platform::readFile(path);
    auto record = text ? recordFromJson(base::parseJson(*text)) : std::nullopt;
    if (record && terminalAlive(*record)) {
      continue;
    }
    if (record) {
      removeOurSocket(stateDir, record->controlSocket);
    }
    platform::removeFile(path);
  }
}

}  // namespace terminal
