#include "registry/registry.h"

#include "base/json.h"
#include "base/log.h"
#include "base/version.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "platform/text.h"
#include "state/records.h"
#include "state/state.h"

#include <atomic>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace registry {
namespace {

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

}  // namespace

std::string registryDir() {
  return state::folder("sessions");
}

std::string registryPath(const std::string& instanceID) {
  return registryDir() + "/" + instanceID + ".json";
}

bool isOurInjectSocket(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);
  return name.starts_with("inject-") && name.size() > 12 && state::isOurSocket(path);
}

bool isRecordProcess(long long pid, const Json& record) {
  auto startedAt = integralNumber(record, "startedAt");
  constexpr long long LIMIT = std::numeric_limits<long long>::max() / 1000;
  bool inRange = startedAt && -LIMIT < *startedAt && *startedAt < LIMIT;
  return inRange && state::isLiveProcess(pid, *startedAt * 1000);
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
  std::string err;
  if (state::writeRecord(path, record, &err)) {
    base::logErr("registro publicado: " + path + " (porta " + std::to_string(port) + ")");
    return;
  }
  base::logErr("✗ não consegui publicar o registro em " + path);
  base::logErr(err.empty() ? "  o registro não pôde ser escrito como JSON" : "  " + err);
}

void armRecordCleanup(const std::string& instanceID) {
  // Only named here: publishRegistry made the folders.
  std::string path = state::file("sessions/" + instanceID + ".json");
  char* copy = new char[path.size() + 1];
  std::memcpy(copy, path.c_str(), path.size() + 1);
  gRegistryPath = copy;
  platform::onExit(removeRecord);
}

std::vector<Json> liveRegistry() {
  std::vector<Json> live;
  std::string dir = registryDir();
  for (const auto& name : state::recordNames(dir)) {
    auto record = state::readRecord(dir + "/" + name);
    if (record && recordAlive(*record)) {
      live.push_back(std::move(*record));
    }
  }
  return live;
}

void pruneRegistry() {
  std::string dir = registryDir();
  for (const auto& name : state::recordNames(dir)) {
    std::string path = dir + "/" + name;
    auto record = state::readRecord(path);
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
