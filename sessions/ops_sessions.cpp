// list and activity: what each session is and does.

#include "base/text.h"
#include "ops/ops.h"
#include "sessions/session_data.h"

#include <algorithm>

namespace ops {
namespace {

constexpr size_t LIST_MAX = 40;
constexpr int64_t FINISHED_SHOWN_MS = 7LL * 24 * 3600 * 1000;
constexpr size_t WORKING_ON_CHARS = 200;
constexpr size_t ANSWER_CHARS = 4000;
constexpr size_t RECENT_TOOLS = 8;

int64_t lastActivity(const SessionRef& r, const SessionData& d) {
  int64_t at = 0;
  if (const TranscriptSummary* t = d.transcriptOf(r.id)) {
    at = t->lastActivityMillis;
  }
  if (const LiveSession* l = r.running ? d.liveOf(r.id) : nullptr) {
    at = std::max({at, l->updatedAtMillis, l->startedAtMillis});
  }
  return at;
}

// The members list and activity share.
Json describe(const SessionRef& r, const SessionData& d) {
  const LiveSession* l = r.running ? d.liveOf(r.id) : nullptr;
  const TranscriptSummary* t = d.transcriptOf(r.id);
  Json s = {{"name", r.name}, {"id", r.id}, {"state", r.running ? "running" : "finished"}};
  s["status"] = !r.running ? "finished" : (l && !l->status.empty() ? l->status : "idle");
  s["waiting_for"] = l && l->waitingFor ? Json(*l->waitingFor) : Json(nullptr);
  s["working_on"] = t ? base::cutChars(t->latestPrompt, WORKING_ON_CHARS, "…") : "";
  return s;
}

const SessionData* dataOf(const Context& ctx, Json* error) {
  if (!ctx.sessions) {
    *error = {{"error", "session data is unavailable"}};
  }
  return ctx.sessions;
}

}  // namespace

Json listOp(const Json&, const Context& ctx) {
  Json error;
  const SessionData* d = dataOf(ctx, &error);
  if (!d) {
    return error;
  }
  std::vector<std::pair<int64_t, const SessionRef*>> running, finished;
  for (const SessionRef& r : ctx.running) {
    running.emplace_back(lastActivity(r, *d), &r);
  }
  for (const SessionRef& r : ctx.finished) {
    int64_t at = lastActivity(r, *d);
    if (at >= ctx.nowMillis - FINISHED_SHOWN_MS) {
      finished.emplace_back(at, &r);
    }
  }
  auto newestFirst = [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second->name < b.second->name;
  };
  std::sort(running.begin(), running.end(), newestFirst);
  std::sort(finished.begin(), finished.end(), newestFirst);
  running.insert(running.end(), finished.begin(), finished.end());
  if (running.size() > LIST_MAX) {
    running.resize(LIST_MAX);
  }
  Json sessions = Json::array();
  for (const auto& [at, r] : running) {
    Json s = describe(*r, *d);
    const LiveSession* l = r->running ? d->liveOf(r->id) : nullptr;
    bool channel = l && d->channelPids.count(l->pid) > 0;
    Json out = {{"name", r->name},
                {"title", r->title},
                {"id", r->id},
                {"project", r->project},
                {"cwd", r->cwd},
                {"state", s["state"]},
                {"status", s["status"]},
                {"waiting_for", s["waiting_for"]},
                {"working_on", s["working_on"]},
                {"last_activity", isoTime(at)}};
    out["messageable"] = l && (!l->messagingSocketPath.empty() || channel);
    out["channel"] = channel;
    out["you"] = ctx.you && ctx.you->id == r->id;
    sessions.push_back(std::move(out));
  }
  size_t known = std::max(d->sessionsKnown, ctx.running.size() + ctx.finished.size());
  return {{"sessions", std::move(sessions)}, {"more", known - running.size()}};
}

Json activityOp(const Json& request, const Context& ctx) {
  Json error;
  const SessionData* d = dataOf(ctx, &error);
  if (!d) {
    return error;
  }
  Lookup found = findNamed(request, ctx);
  if (!found.session) {
    return found.error;
  }
  const SessionRef& r = *found.session;
  const TranscriptSummary* t = d->transcriptOf(r.id);
  Json a = describe(r, *d);
  a["latest_answer"] = t && t->latestAnswer
                           ? Json(base::cutChars(*t->latestAnswer, ANSWER_CHARS, "…"))
                           : Json(nullptr);
  Json inProgress = nullptr;
  Json recent = Json::array();
  if (t) {
    for (auto it = t->recentTools.rbegin(); it != t->recentTools.rend(); ++it) {
      if (r.running && !it->done && inProgress.is_null()) {
        inProgress = it->tool;
      }
      if (recent.size() < RECENT_TOOLS) {
        recent.push_back(
            {{"tool", it->tool}, {"target", it->target}, {"at", isoTime(it->atMillis)}});
      }
    }
  }
  a["in_progress"] = std::move(inProgress);
  a["recent_tools"] = std::move(recent);
  a["last_activity"] = isoTime(lastActivity(r, *d));
  a["turns"] = t ? t->turns : 0;
  return a;
}

}  // namespace ops
