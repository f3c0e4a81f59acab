#include "sessions/names.h"

#include "base/text.h"
#include "platform/text.h"

#include <algorithm>
#include <map>
#include <set>

namespace ops {
namespace {

std::string fallbackName(const std::string& cwd, const std::string& id) {
  return platform::lastPathComponent(cwd) + "-" + id.substr(0, 4);
}

// `name` with "#" and the shortest prefix of `id` (4 characters at least) that no name in `taken`
// holds; past the whole id, a counter.
std::string freeName(const std::string& name, const std::string& id,
                     const std::set<std::string>& taken) {
  for (size_t n = std::min<size_t>(4, id.size()); n <= id.size(); ++n) {
    std::string candidate = name + "#" + id.substr(0, n);
    if (!taken.count(candidate)) {
      return candidate;
    }
  }
  for (size_t k = 2;; ++k) {
    std::string candidate = name + "#" + id + "-" + std::to_string(k);
    if (!taken.count(candidate)) {
      return candidate;
    }
  }
}

Json namesOf(const std::vector<const SessionRef*>& refs) {
  Json names = Json::array();
  for (const SessionRef* r : refs) {
    names.push_back(r->name);
  }
  return names;
}

// Found when exactly one matches; an error answer when several do; nothing when none does.
template <typename Pred>
std::optional<Lookup> pick(std::string_view key, const std::vector<const SessionRef*>& all,
                           Pred matches) {
  std::vector<const SessionRef*> hits;
  for (const SessionRef* r : all) {
    if (matches(*r)) {
      hits.push_back(r);
    }
  }
  if (hits.empty()) {
    return std::nullopt;
  }
  Lookup l;
  if (hits.size() == 1) {
    l.session = *hits[0];
  } else {
    l.error = {{"error", std::string(key) + " matches several sessions"},
               {"matches", namesOf(hits)}};
  }
  return l;
}

}  // namespace

SessionRefs sessionRefs(const std::vector<LiveSession>& live,
                        const std::vector<const TranscriptSummary*>& transcripts) {
  std::map<std::string, const TranscriptSummary*> byId;
  for (const TranscriptSummary* t : transcripts) {
    byId[t->sessionId] = t;
  }
  SessionRefs refs;
  std::vector<std::pair<SessionRef*, int64_t>> started;
  std::set<std::string> liveIds;
  std::vector<int64_t> runStart;
  for (const LiveSession& l : live) {
    if (l.sessionId.empty() || !liveIds.insert(l.sessionId).second) {
      continue;
    }
    auto it = byId.find(l.sessionId);
    const TranscriptSummary* t = it == byId.end() ? nullptr : it->second;
    SessionRef r;
    r.name = l.name;
    r.id = l.sessionId;
    r.cwd = l.cwd;
    r.pid = l.pid;
    r.running = true;
    if (t) {
      r.title = t->customTitle.empty() ? t->aiTitle : t->customTitle;
      r.aiTitle = t->aiTitle;
      if (r.name.empty()) {
        r.name = t->customTitle;
      }
    }
    if (r.name.empty()) {
      r.name = fallbackName(r.cwd, r.id);
    }
    refs.running.push_back(std::move(r));
    runStart.push_back(l.startedAtMillis ? l.startedAtMillis : (t ? t->firstMillis : 0));
  }
  for (const TranscriptSummary* summary : transcripts) {
    const TranscriptSummary& t = *summary;
    if (t.sessionId.empty() || liveIds.count(t.sessionId)) {
      continue;
    }
    SessionRef r;
    r.name = t.customTitle.empty() ? fallbackName(t.cwd, t.sessionId) : t.customTitle;
    r.id = t.sessionId;
    r.cwd = t.cwd;
    r.title = t.customTitle.empty() ? t.aiTitle : t.customTitle;
    r.aiTitle = t.aiTitle;
    refs.finished.push_back(std::move(r));
  }
  // Pointers are taken only now that both vectors are complete.
  for (size_t i = 0; i < refs.running.size(); ++i) {
    started.emplace_back(&refs.running[i], runStart[i]);
  }
  for (SessionRef& r : refs.finished) {
    started.emplace_back(&r, byId[r.id]->firstMillis);
  }
  std::map<std::string, std::vector<std::pair<SessionRef*, int64_t>>> byName;
  for (auto& s : started) {
    s.first->project = platform::lastPathComponent(s.first->cwd);
    byName[s.first->name].push_back(s);
  }
  // Every name given so far, the ones sessions hold themselves included: a suffix made here must
  // not land on a title that already reads "dup#1234", nor on another made here.
  std::set<std::string> taken;
  for (const auto& entry : byName) {
    taken.insert(entry.first);
  }
  for (auto& [name, group] : byName) {
    if (group.size() < 2) {
      continue;
    }
    std::sort(group.begin(), group.end(), [](const auto& a, const auto& b) {
      return a.second != b.second ? a.second < b.second : a.first->id < b.first->id;
    });
    for (size_t k = 1; k < group.size(); ++k) {
      SessionRef& r = *group[k].first;
      r.name = freeName(name, r.id, taken);
      taken.insert(r.name);
    }
  }
  return refs;
}

NamedSessions nameSessions(const std::vector<LiveSession>& live,
                           const std::vector<const TranscriptSummary*>& transcripts) {
  SessionRefs refs = sessionRefs(live, transcripts);
  return {std::move(refs.running), std::move(refs.finished)};
}

Lookup lookUp(std::string_view key, const SessionList& running, const SessionList& finished) {
  std::vector<const SessionRef*> all;
  for (const auto* list : {&running, &finished}) {
    for (const SessionRef& r : *list) {
      all.push_back(&r);
    }
  }
  std::string lowKey = base::asciiLower(key);
  auto prefixOf = [&](const std::string& s) { return s.compare(0, key.size(), key) == 0; };
  if (auto l = pick(key, all, [&](const SessionRef& r) { return r.name == key; })) {
    return *l;
  }
  if (auto l = pick(key, all, [&](const SessionRef& r) {
        return (!r.title.empty() && base::asciiLower(r.title) == lowKey) ||
               (!r.aiTitle.empty() && base::asciiLower(r.aiTitle) == lowKey);
      })) {
    return *l;
  }
  if (key.size() >= 4) {
    if (auto l = pick(key, all, [&](const SessionRef& r) { return prefixOf(r.id); })) {
      return *l;
    }
  }
  if (!key.empty()) {
    if (auto l = pick(key, all, [&](const SessionRef& r) { return prefixOf(r.name); })) {
      return *l;
    }
  }
  std::vector<const SessionRef*> live;
  for (const SessionRef& r : running) {
    live.push_back(&r);
  }
  Lookup none;
  none.error = {{"error", "no session called " + std::string(key)}, {"sessions", namesOf(live)}};
  return none;
}

void buildContext(pid_t callerPid, const SessionData& data, std::string stateDir, int64_t nowMillis,
                  Context* out) {
  NamedSessions named = data.named ? *data.named : nameSessions(data.live, data.transcripts);
  out->callerPid = callerPid;
  out->running = std::move(named.running);
  out->finished = std::move(named.finished);
  out->you.reset();
  for (const SessionRef& r : out->running) {
    if (callerPid > 0 && r.pid == callerPid) {
      out->you = r;
    }
  }
  out->find = [out](std::string_view key) { return lookUp(key, out->running, out->finished); };
  out->stateDir = std::move(stateDir);
  out->nowMillis = nowMillis;
  out->sessions = &data;
}

}  // namespace ops
