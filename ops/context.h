#pragma once

// What every op handler knows of the machine and of its caller: a snapshot taken when the request
// arrived. Handlers are pure functions of the request, this snapshot and their own store.

#include "base/json.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace ops {

using base::Json;

struct SessionData;

// One Claude Code session, running or finished, with its name already unique in this snapshot.
struct SessionRef {
  std::string name;
  std::string id;       // claude's sessionId
  std::string cwd;      // absolute
  std::string project;  // last path component of cwd
  std::string title;    // custom or ai title, may be empty
  pid_t pid = 0;        // claude's pid while running, else 0
  bool running = false;
  std::string aiTitle;  // claude's own title, found by look-up even under a custom one
};

// Sessions shared by every request over one snapshot: a copy copies a pointer, never the names.
class SessionList {
 public:
  SessionList() = default;
  SessionList(std::vector<SessionRef> refs)  // NOLINT: a list is made from its sessions
      : m_refs(std::make_shared<const std::vector<SessionRef>>(std::move(refs))) {}
  SessionList(std::initializer_list<SessionRef> refs)
      : SessionList(std::vector<SessionRef>(refs)) {}

  const std::vector<SessionRef>& all() const { return m_refs ? *m_refs : none(); }
  auto begin() const { return all().begin(); }
  auto end() const { return all().end(); }
  size_t size() const { return all().size(); }
  const SessionRef& operator[](size_t i) const { return all()[i]; }

 private:
  static const std::vector<SessionRef>& none() {
    static const std::vector<SessionRef> empty;
    return empty;
  }
  std::shared_ptr<const std::vector<SessionRef>> m_refs;
};

// Every session with its name, as one snapshot names them.
struct NamedSessions {
  SessionList running;   // in the order of the live list
  SessionList finished;  // transcripts without a live process
};

// The session a name, title or id prefix names, or the error answer the look-up rules give
// ({"error":"no session called X","sessions":[...]} or {"error":"X matches several sessions",...}).
struct Lookup {
  std::optional<SessionRef> session;
  Json error;
};

struct Context {
  pid_t callerPid = 0;
  std::optional<SessionRef> you;  // the calling session, when caller_pid is a live one
  SessionList running;            // every running session
  SessionList finished;           // every finished session known on this machine
  std::function<Lookup(std::string_view)> find;
  std::string stateDir;  // ~/.corvane
  int64_t nowMillis = 0;
  const SessionData* sessions = nullptr;  // what the session ops read; null for other ops' tests
};

// "pid N" for a caller that is no session, else the session's name.
inline std::string holderName(const Context& ctx) {
  return ctx.you ? ctx.you->name : "pid " + std::to_string(ctx.callerPid);
}

}  // namespace ops
