#include "state/records.h"

#include "platform/files.h"
#include "platform/posix.h"

namespace state {

const std::string& ownExecutable() {
  static const std::string& path =
      *new std::string(platform::resolvePath(platform::executablePath()));
  return path;
}

bool identityMatches(const platform::ProcessIdentity& id, long long writtenAtMillis,
                     const std::string& executable) {
  if (!id.startedAtMillis || *id.startedAtMillis > writtenAtMillis + START_SLACK_MILLIS) {
    return false;
  }
  // No executable to name: a zombie, or a process the OS will not show us. Neither is ours.
  return !id.executable.empty() &&
         (id.executable == executable || platform::resolvePath(id.executable) == executable);
}

bool isLiveProcess(long long pid, long long writtenAtMillis, const std::string& executable) {
  platform::ProcessIdentity id;
  return platform::signallablePid(pid) && platform::processAlive(pid) &&
         platform::processIdentity(static_cast<pid_t>(pid), &id) &&
         identityMatches(id, writtenAtMillis, executable.empty() ? ownExecutable() : executable);
}

std::optional<Json> readRecord(const std::string& path) {
  auto text = platform::readRegularFile(path);
  if (!text) {
    return std::nullopt;
  }
  Json record = base::parseJson(*text);
  if (record.is_discarded() || !record.is_object()) {
    return std::nullopt;
  }
  return record;
}

bool writeRecord(const std::string& path, const Json& record, std::string* err) {
  auto text = base::serialize(record);
  if (!text) {
    *err = "cannot encode " + path;
    return false;
  }
  return platform::replaceFile(path, *text, 0600, err);
}

std::vector<std::string> recordNames(const std::string& folder) {
  std::vector<std::string> names;
  for (std::string& name : platform::listDir(folder).value_or(std::vector<std::string>{})) {
    if (name.size() > 5 && name.ends_with(".json")) {
      names.push_back(std::move(name));
    }
  }
  return names;
}

}  // namespace state
