#include "client/targets.h"

#include "claude_files/index.h"
#include "claude_files/live.h"
#include "client/pick.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "query/client.h"
#include "query/starter.h"
#include "registry/registry.h"
#include "state/state.h"

#include <map>

namespace client {

std::vector<Named> namedChannels(const std::vector<Json>& live, bool start) {
  std::vector<Named> out;
  if (!start && query::probeSocket(state::companionSocket()) != query::Probe::Live) {
    return out;
  }
  Json list = base::parseJson(query::callSessionTool("list_sessions", Json::object()));
  auto sessions = list.is_object() ? list.find("sessions") : list.end();
  if (!list.is_object() || sessions == list.end() || !sessions->is_array()) {
    return out;
  }
  std::map<std::string, pid_t> claudePid;
  for (const auto& l : claude_files::readLiveSessions(claude_files::claudeDir())) {
    claudePid[l.sessionId] = l.pid;
  }
  std::map<pid_t, const Json*> byParent;
  for (const Json& record : live) {
    auto pid = registry::integralNumber(record, "pid");
    platform::ProcessIdentity id;
    if (pid && *pid > 1 && platform::processIdentity(static_cast<pid_t>(*pid), &id)) {
      byParent[id.parent] = &record;
    }
  }
  for (const Json& s : *sessions) {
    if (!s.is_object() || stringField(s, "state") != "running" ||
        s.value("channel", false) != true) {
      continue;
    }
    ops::SessionRef ref;
    ref.name = stringField(s, "name");
    ref.id = stringField(s, "id");
    ref.cwd = stringField(s, "cwd");
    ref.project = platform::lastPathComponent(ref.cwd);
    ref.title = stringField(s, "title");
    ref.running = true;
    auto pid = claudePid.find(ref.id);
    ref.pid = pid == claudePid.end() ? 0 : pid->second;
    auto record = byParent.find(ref.pid);
    if (ref.pid != 0 && record != byParent.end()) {
      out.push_back({std::move(ref), *record->second});
    }
  }
  return out;
}

std::string nameOf(const Json& record, const std::vector<Named>& named) {
  std::string instance = stringField(record, "instance");
  for (const Named& n : named) {
    if (stringField(n.record, "instance") == instance) {
      return n.session.name;
    }
  }
  return instance.substr(0, 8);
}

}  // namespace client
