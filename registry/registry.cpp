#include "registry/registry.h"

#include "base/json.h"
#include "base/log.h"
#include "base/version.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "platform/text.h"

#include <atomic>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace registry {
namespace {

bool isRecordName(const std::string& name) {
  return name.size() >= 5 && name.compare(name.size() - 5, 5, ".json") == 0;
}

std::optional<Json> readRecord(const std::string& path) {
  auto text = platform::readRegularFile(path);
  return text ? parseRecord(*text) : std::nullopt;
}

bool recordAlive(const Json& record) {
  auto pid = integralNumber(record, "pid");
  return pid && isRecordProcess(*pid, record);
}

// The record's path for the exit handler; set once, never freed.
std::atomic<const char*> gRegistryPath{nullptr};

void removeRecord() {
  const char* path = gRegistryPath.load();
  if (path != nullptr) {
    ::unlink(path);
  }
}

const std::string& ownExecutable() {
  static const std::string& path =
      *new std::string(platform::resolvePath(platform::executablePath()));
  return path;
}

}  // namespace

std::string stateDir() {
  std::string dir = platform::homeDir() + "/.corvane";
  platform::makeDirs(dir);
  return dir;
}

std::string registryDir() {
  std::string dir = stateDir() + "/sessions";
  platform::makeDirs(dir);
  return dir;
}

std::string registryPath(const std::string& instanceID) {
  return registryDir() + "/" + instanceID + ".json";
}

std::string runtimeDirName() {
  auto runtime = platform::envVar("XDG_RUNTIME_DIR");
  if (runtime && !runtime->empty()) {
    return *runtime + "/corvane";
  }
  return "/tmp/corvane-" + std::to_string(::getuid());
}

std::string runtimeDir() {
  std::string dir = runtimeDirName();
  ::mkdir(dir.c_str(), 0700);
  // In /tmp another user may have made the name first: use it only if it is ours and private.
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
    return "";
  }
  if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
    return "";
  }
  return dir;
}

bool isOurInjectSocket(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return false;
  }
  std::string dir = path.substr(0, slash), name = path.substr(slash + 1);
  if (!name.starts_with("inject-") || !name.ends_with(".sock") || name.size() <= 12) {
    return false;
  }
  if (dir != stateDir() && dir != runtimeDirName()) {
    return false;
  }
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool identityMatches(const platform::ProcessIdentity& id, long long startedAt,
                     const std::string& executable) {
  if (!id.startedAtMillis || *id.startedAtMillis > startedAt * 1000 + START_SLACK_MILLIS) {
    return false;
  }
  // No executable to name: a zombie, or a process the OS will not show us. Neither is ours.
  return !id.executable.empty() &&
         (id.executable == executable || platform::resolvePath(id.executable) == executable);
}

bool isRecordProcess(long long pid, const Json& record) {
  auto startedAt = integralNumber(record, "startedAt");
  platform::ProcessIdentity id;
  return startedAt && platform::signallablePid(pid) && platform::processAlive(pid) &&
         platform::processIdentity(static_cast<pid_t>(pid), &id) &&
         identityMatches(id, *startedAt, ownExecutable());
}

std::optional<Json> parseRecord(std::string_view text) {
  Json record = base::parseJson(text);
  if (record.is_discarded() || !record.is_object()) {
    return std::nullopt;
  }
  return record;
}

long long parseLauncherPid(std::string_view text) {
  long long value = 0;
  return platform::parseDecimal(text, &value) ? value : 0;
}

std::optional<long long> integralNumber(const Json& record, const char* key) {
  auto it = record.find(key);
  return it == record.end() ? std::nullopt : base::wholeNumber(*it);
}

Json buildRecord(const Identity& identity, uint16_t port, long long pid, long long startedAt) {
  Json record = {{"instance", identity.instanceID},
                 {"port", port},
                 {"pid", pid},
                 {"cwd", identity.launchCwd},
                 {"name", identity.projectName},
                 {"version", base::SERVER_VERSION},
                 {"startedAt", startedAt}};
  if (identity.channelToken) {
    record["token"] = *identity.channelToken;
  }
  if (identity.injectSock) {
    record["inject"] = *identity.injectSock;
  }
  if (identity.launcherPid) {
    record["launcherPid"] = parseLauncherPid(*identity.launcherPid);
  }
  return record;
}

void publishRegistry(const Identity& identity, uint16_t port) {
  Json record = buildRecord(identity, port, ::getpid(), platform::nowSeconds());
  std::string path = registryPath(identity.instanceID);
  auto text = base::serialize(record);
  std::string err;
  if (text && platform::replaceFile(path, *text, 0600, &err)) {
    base::logErr("registro publicado: " + path + " (porta " + std::to_string(port) + ")");
    return;
  }
  base::logErr("✗ não consegui publicar o registro em " + path);
  base::logErr(err.empty() ? "  o registro não pôde ser escrito como JSON" : "  " + err);
}

void armRecordCleanup(const std::string& instanceID) {
  std::string path = registryPath(instanceID);
  char* copy = new char[path.size() + 1];
  std::memcpy(copy, path.c_str(), path.size() + 1);
  gRegistryPath = copy;
  platform::onExit(removeRecord);
}

std::vector<Json> liveRegistry() {
  std::vector<Json> live;
  std::string dir = registryDir();
  auto names = platform::listDir(dir);
  if (!names) {
    return live;
  }
  for (const auto& name : *names) {
    if (!isRecordName(name)) {
      continue;
    }
    auto record = readRecord(dir + "/" + name);
    if (record && recordAlive(*record)) {
      live.push_back(std::move(*record));
    }
  }
  return live;
}

void pruneRegistry() {
  std::string dir = registryDir();
  auto names = platform::listDir(dir);
  if (!names) {
    return;
  }
  for (const auto& name : *names) {
    if (!isRecordName(name)) {
      continue;
    }
    std::string path = dir + "/" + name;
    auto record = readRecord(path);
    if (record && recordAlive(*record)) {
      continue;
    }
    if (record) {
      auto inject = record->find("inject");
      if (inject != record->end() && inject->is_string() &&
          isOurInjectSocket(inject->get<std::string>())) {
        platform::removeFile(inject->get<std::string>());
      }
    }
    platform::removeFile(path);
  }
}

}  // namespace registry
