// cost, files and conflicts: what sessions spent and what they touched.

#include "ops/ops.h"
#include "sessions/session_data.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

namespace ops {
namespace {

using claude_files::FileEdits;
using claude_files::Tokens;
using claude_files::UsageKey;

struct Tally {
  Tokens tokens;
  uint64_t requests = 0;
  double usd = 0;
  bool priced = true;

  void add(const Tokens& t, uint64_t n, std::optional<double> dollars) {
    tokens.input += t.input;
    tokens.output += t.output;
    tokens.cacheWrite5m += t.cacheWrite5m;
    tokens.cacheWrite1h += t.cacheWrite1h;
    tokens.cacheRead += t.cacheRead;
    requests += n;
    if (dollars) {
      usd += *dollars;
    } else {
      priced = false;
    }
  }
  uint64_t total() const {
    return tokens.input + tokens.output + tokens.cacheWrite5m + tokens.cacheWrite1h +
           tokens.cacheRead;
  }
  // usd is the whole cost or nothing; usd_known the part that has prices, a lower bound.
  Json knownJson() const { return std::round(usd * 1e6) / 1e6; }
  Json usdJson() const { return priced ? knownJson() : Json(nullptr); }
  Json tokensJson() const {
    return {{"input", tokens.input},
            {"output", tokens.output},
            {"cache_write", tokens.cacheWrite5m + tokens.cacheWrite1h},
            {"cache_read", tokens.cacheRead}};
  }
};

// Largest first, so the answer opens with what cost most.
Json split(const std::map<std::string, Tally>& parts, const char* key) {
  std::vector<std::pair<std::string, const Tally*>> sorted;
  for (const auto& [name, tally] : parts) {
    sorted.emplace_back(name, &tally);
  }
  std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
    return a.second->total() > b.second->total();
  });
  Json out = Json::array();
  for (const auto& [name, t] : sorted) {
    out.push_back({{key, name},
                   {"usd", t->usdJson()},
                   {"usd_known", t->knownJson()},
                   {"tokens", t->tokensJson()},
                   {"requests", t->requests}});
  }
  return out;
}

bool under(const std::string& path, const std::string& dir) {
  if (dir.empty() || path.compare(0, dir.size(), dir) != 0) {
    return false;
  }
  return path.size() == dir.size() || dir.back() == '/' || path[dir.size()] == '/';
}

std::string absolute(const std::string& path, const std::string& cwd) {
  if (path.empty() || path[0] == '/' || cwd.empty()) {
    return path;
  }
  return cwd + (cwd.back() == '/' ? "" : "/") + path;
}

// A session's edits by absolute path; relative paths resolved against its cwd.
std::map<std::string, FileEdits> editsOf(const SessionRef& r, const SessionData& d) {
  std::map<std::string, FileEdits> out;
  const TranscriptSummary* t = d.transcriptOf(r.id);
  if (!t) {
    return out;
  }
  for (const auto& [path, e] : t->files) {
    FileEdits& into = out[absolute(path, r.cwd.empty() ? t->cwd : r.cwd)];
    into.edits += e.edits;
    into.lastEditMillis = std::max(into.lastEditMillis, e.lastEditMillis);
    for (const auto& [tool, n] : e.byTool) {
      into.byTool[tool] += n;
    }
  }
  return out;
}

Json noData() {
  return {{"error", "session data is unavailable"}};
}

}  // namespace

Json costOp(const Json& request, const Context& ctx) {
  if (!ctx.sessions) {
    return noData();
  }
  const SessionData& d = *ctx.sessions;
  Lookup found = findNamed(request, ctx);
  if (!found.session) {
    return found.error;
  }
  const SessionRef& r = *found.session;
  const TranscriptSummary* t = d.transcriptOf(r.id);
  Tally all;
  std::map<std::string, Tally> byModel, byAgent, bySkill;
  std::set<std::string> unpriced;
  if (t) {
    for (const auto& [key, usage] : t->usage) {
      std::optional<double> usd = d.price ? d.price(key, usage.tokens) : std::nullopt;
      if (!usd) {
        unpriced.insert(key.model);
      }
      all.add(usage.tokens, usage.requests, usd);
      byModel[key.model].add(usage.tokens, usage.requests, usd);
      byAgent[key.agent.empty() ? "main" : key.agent].add(usage.tokens, usage.requests, usd);
      if (!key.skill.empty()) {
        bySkill[key.skill].add(usage.tokens, usage.requests, usd);
      }
    }
  }
  return {{"name", r.name},
          {"id", r.id},
          {"usd", all.usdJson()},
          {"usd_known", all.knownJson()},
          {"claude_usd", t && t->claudeUsd ? Json(*t->claudeUsd) : Json(nullptr)},
          {"tokens", all.tokensJson()},
          {"requests", all.requests},
          {"turns", t ? t->turns : 0},
          {"by_model", split(byModel, "model")},
          {"by_subagent", split(byAgent, "agent")},
          {"by_skill", split(bySkill, "skill")},
          {"mcp_tool_calls", t ? t->mcpToolCalls : 0},
          {"unpriced_models", unpriced}};
}

Json filesOp(const Json& request, const Context& ctx) {
  if (!ctx.sessions) {
    return noData();
  }
  Lookup found = findNamed(request, ctx);
  if (!found.session) {
    return found.error;
  }
  auto edits = editsOf(*found.session, *ctx.sessions);
  std::vector<std::pair<const std::string*, const FileEdits*>> sorted;
  for (const auto& [path, e] : edits) {
    sorted.emplace_back(&path, &e);
  }
  std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
    return a.second->edits != b.second->edits ? a.second->edits > b.second->edits
                                              : a.second->lastEditMillis > b.second->lastEditMillis;
  });
  Json files = Json::array();
  for (const auto& [path, e] : sorted) {
    Json tools = Json::object();
    for (const auto& [tool, n] : e->byTool) {
      tools[tool] = n;
    }
    files.push_back({{"path", *path},
                     {"edits", e->edits},
                     {"last_edit", isoTime(e->lastEditMillis)},
                     {"tools", std::move(tools)}});
  }
  return {{"name", found.session->name}, {"id", found.session->id}, {"files", std::move(files)}};
}

Json conflictsOp(const Json& request, const Context& ctx) {
  if (!ctx.sessions) {
    return noData();
  }
  std::optional<std::string> only;
  if (auto name = base::stringArg(request, "name")) {
    Lookup found = ctx.find(*name);
    if (!found.session) {
      return found.error;
    }
    only = found.session->id;
  }
  std::map<std::string, size_t> perCwd;
  for (const SessionRef& r : ctx.running) {
    ++perCwd[r.cwd];
  }
  // path -> session index -> its edits (null for an owner inferred from its folder)
  std::map<std::string, std::map<size_t, const FileEdits*>> touched;
  std::vector<std::map<std::string, FileEdits>> edits;
  for (const SessionRef& r : ctx.running) {
    edits.push_back(editsOf(r, *ctx.sessions));
  }
  for (size_t i = 0; i < edits.size(); ++i) {
    for (const auto& [path, e] : edits[i]) {
      touched[path][i] = &e;
    }
  }
  for (auto& [path, who] : touched) {
    for (size_t i = 0; i < ctx.running.size(); ++i) {
      const SessionRef& r = ctx.running[i];
      if (!who.count(i) && perCwd[r.cwd] == 1 && under(path, r.cwd)) {
        who[i] = nullptr;
      }
    }
  }
  Json conflicts = Json::array();
  for (const auto& [path, who] : touched) {
    bool mine = !only;
    for (const auto& [i, e] : who) {
      mine = mine || ctx.running[i].id == *only;
    }
    if (who.size() < 2 || !mine) {
      continue;
    }
    Json sessions = Json::array();
    for (const auto& [i, e] : who) {
      sessions.push_back({{"name", ctx.running[i].name},
                          {"edits", e ? Json(e->edits) : Json(nullptr)},
                          {"last_edit", e ? isoTime(e->lastEditMillis) : Json(nullptr)},
                          {"evidence", e ? "transcript" : "soleOwner"}});
    }
    conflicts.push_back({{"path", path}, {"sessions", std::move(sessions)}});
  }
  return {{"conflicts", std::move(conflicts)}};
}

}  // namespace ops
