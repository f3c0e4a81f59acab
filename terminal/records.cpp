#include "terminal/records.h"

#include "platform/files.h"
#include "state/records.h"
#include "state/state.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

namespace terminal {
namespace {

constexpr const char* SUFFIX = ".json";

}  // namespace

Json toJson(const Record& r) {
  Json j{{"id", r.id},
         {"name", r.name},
         {"folder", r.folder},
         {"pid", r.pid},
         {"controlSocket", r.controlSocket},
         {"startedAt", r.startedAt}};
  if (!r.executable.empty()) {
    j["executable"] = r.executable;
  }
  return j;
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
           num("startedAt").value_or(0),
           str("executable")};
  if (r.id.empty() || r.name.empty() || r.folder.empty() || r.controlSocket.empty() || r.pid < 1) {
    return std::nullopt;
  }
  return r;
}

std::string terminalsDir(const std::string& stateDir) {
  std::string dir = stateDir + "/terminals";
  if (::mkdir(dir.c_str(), 0700) == 0) {
    ::chmod(dir.c_str(), 0700);  // whatever the umask
  }
  return dir;
}

std::vector<Record> listTerminals(const std::string& stateDir) {
  std::string dir = stateDir + "/terminals";
  std::vector<Record> out;
  for (const auto& entry : state::recordNames(dir)) {
    auto json = state::readRecord(dir + "/" + entry);
    auto record = json ? recordFromJson(*json) : std::nullopt;
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
  return state::isLiveProcess(record.pid, record.startedAt, record.executable);
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
  std::string path = state::socketPath(terminalsDir(stateDir), id.substr(0, 8) + ".sock");
  return path.empty() ? std::nullopt : std::optional<std::string>(path);
}

void pruneTerminals(const std::string& stateDir) {
  std::string dir = stateDir + "/terminals";
  for (const auto& entry : state::recordNames(dir)) {
    std::string path = dir + "/" + entry;
    auto json = state::readRecord(path);
    auto record = json ? recordFromJson(*json) : std::nullopt;
    if (record && terminalAlive(*record)) {
      continue;
    }
    if (record && state::isOurSocket(record->controlSocket)) {
      platform::removeFile(record->controlSocket);
    }
    platform::removeFile(path);
  }
}

}  // namespace terminal
