#include "companion/statusline_op.h"

#include "base/time_text.h"
#include "groups/group_ops.h"
#include "groups/group_store.h"
#include "sessions/session_data.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <mutex>
#include <set>

namespace companion {

using ops::Json;
using ops::SessionData;
using ops::SessionRef;
namespace {

// Leases and groups are read at most this often; a change shows up to this much later.
constexpr int64_t LEASES_EVERY_MS = 1000;

struct Spend {
  double usd = 0;
  bool priced = true;
  void add(std::optional<double> dollars) {
    usd += dollars.value_or(0);
    priced = priced && dollars.has_value();
  }
};

Json dollars(double usd) {
  return std::round(usd * 1e6) / 1e6;
}

// Today's spend and the last window's, over every session. Tokens are summed per key first:
// the price is linear, and one price look-up per key keeps a render cheap.
void spendByTime(const SessionData& d, int64_t dayStart, int64_t windowStart, Spend* today,
                 Spend* window) {
  int64_t since = std::min(dayStart, windowStart);
  for (const auto& t : d.transcripts) {
    if (t->lastActivityMillis < since) {
      continue;
    }
    for (const auto& [key, series] : t->recentUsage) {
      claude_files::Tokens day, recent;
      auto add = [](claude_files::Tokens* into, const claude_files::Tokens& x) {
        into->input += x.input;
        into->output += x.output;
        into->cacheWrite5m += x.cacheWrite5m;
        into->cacheWrite1h += x.cacheWrite1h;
        into->cacheRead += x.cacheRead;
      };
      bool inDay = false, inWindow = false;
      for (auto it = series.rbegin(); it != series.rend() && it->minuteMillis >= since; ++it) {
        if (it->minuteMillis >= dayStart) {
          add(&day, it->usage.tokens);
          inDay = true;
        }
        if (it->minuteMillis >= windowStart) {
          add(&recent, it->usage.tokens);
          inWindow = true;
        }
      }
      if (inDay) {
        today->add(d.price ? d.price(key, day) : std::nullopt);
      }
      if (inWindow) {
        window->add(d.price ? d.price(key, recent) : std::nullopt);
      }
    }
  }
}

// Every render asks the same sums until the next refresh or the next minute: the last ones are
// kept. Only the spend by time is: it is the part that grows with the day's answers.
struct SpendKey {
  uint64_t generation = 0;
  int64_t dayStart = 0, windowStart = 0;
  bool operator==(const SpendKey&) const = default;
};

void spendCached(const SessionData& d, int64_t dayStart, int64_t windowStart, Spend* today,
                 Spend* window) {
  static std::mutex mutex;
  static SpendKey cachedFor;
  static Spend cachedToday, cachedWindow;
  SpendKey key{d.generation, dayStart, windowStart};
  {
    std::lock_guard hold(mutex);
    if (key.generation != 0 && key == cachedFor) {
      *today = cachedToday;
      *window = cachedWindow;
      return;
    }
  }
  spendByTime(d, dayStart, windowStart, today, window);
  std::lock_guard hold(mutex);
  cachedFor = key;
  cachedToday = *today;
  cachedWindow = *window;
}

// Reading leases is a write transaction; renders share one read a second, so a lease may show
// a second late. The store is not locked by us while it reads: it may wait on another process.
std::vector<leases::Lease> liveLeases(leases::LeaseStore& store, int64_t now) {
  static std::mutex mutex;
  static const leases::LeaseStore* readFrom = nullptr;
  static int64_t readAt = 0;
  static std::vector<leases::Lease> cached;
  {
    std::lock_guard hold(mutex);
    if (readFrom == &store && now >= readAt && now - readAt < LEASES_EVERY_MS) {
      return cached;
    }
  }
  std::string err;
  auto fresh = store.live(std::nullopt, now, &err);
  std::lock_guard hold(mutex);
  readFrom = &store;
  readAt = now;
  cached = fresh ? std::move(*fresh) : std::vector<leases::Lease>{};
  return cached;
}

// The groups' members files, read at most once a second for every render alike.
std::vector<groups::Group> groupsOf(const std::string& stateDir, int64_t now) {
  static std::mutex mutex;
  static std::string readFrom;
  static int64_t readAt = 0;
  static std::vector<groups::Group> cached;
  {
    std::lock_guard hold(mutex);
    if (readFrom == stateDir && now >= readAt && now - readAt < LEASES_EVERY_MS) {
      return cached;
    }
  }
  std::vector<groups::Group> fresh = groups::loadGroups(stateDir);
  std::lock_guard hold(mutex);
  readFrom = stateDir;
  readAt = now;
  cached = fresh;
  return fresh;
}

const SessionRef* sessionById(const ops::Context& ctx, const std::string& id) {
  for (const auto* list : {&ctx.running, &ctx.finished}) {
    for (const SessionRef& r : *list) {
      if (r.id == id) {
        return &r;
      }
    }
  }
  return nullptr;
}

}  // namespace

Json opStatusline(const Json& request, const ops::Context& ctx, leases::LeaseStore& store) {
  if (!ctx.sessions) {
    return {{"error", "session data is unavailable"}};
  }
  const SessionData& d = *ctx.sessions;
  std::string id = base::stringArg(request, "session_id").value_or("");
  auto dayArg = request.find("day_start");
  int64_t dayStart = dayArg != request.end() && dayArg->is_number_integer()
                         ? dayArg->get<int64_t>()
                         : base::localDayStartMillis(ctx.nowMillis);
  const SessionRef* you = id.empty() ? nullptr : sessionById(ctx, id);
  Json answer = {{"name", you ? Json(you->name) : Json(nullptr)}};

  Spend own;
  std::set<std::string> unpriced;
  if (const auto* t = you ? d.transcriptOf(id) : nullptr) {
    for (const auto& [key, usage] : t->usage) {
      std::optional<double> usd = d.price ? d.price(key, usage.tokens) : std::nullopt;
      own.add(usd);
      if (!usd) {
        unpriced.insert(key.model);
      }
    }
  }
  answer["usd"] = you && own.priced ? dollars(own.usd) : Json(nullptr);
  if (!own.priced) {
    answer["usd_known"] = dollars(own.usd);
    answer["unpriced_models"] = unpriced;
  }
  const auto* live = you && you->running ? d.liveOf(id) : nullptr;
  answer["channel"] = live != nullptr && d.channelPids.count(live->pid) > 0;

  Json held = Json::array();
  for (const auto& l : you ? liveLeases(store, ctx.nowMillis) : std::vector<leases::Lease>{}) {
    if (l.holder.sessionId == id && l.expiresAtMillis > ctx.nowMillis) {
      held.push_back(l.resource);
    }
  }
  answer["leases"] = std::move(held);

  // The group's sessions first: they are the ones this session's work waits on.
  std::vector<groups::Group> all =
      you ? groupsOf(ctx.stateDir, ctx.nowMillis) : std::vector<groups::Group>{};
  const groups::Group* group = you ? groups::groupFor(all, you->cwd) : nullptr;
  Json waiting = Json::array(), others = Json::array();
  for (const SessionRef& r : ctx.running) {
    const auto* l = d.liveOf(r.id);
    if (r.id == id || !l || (l->status != "waiting" && !l->waitingFor)) {
      continue;
    }
    bool mate = group && groups::groupFor(all, r.cwd) == group;
    (mate ? waiting : others)
        .push_back({{"name", r.name}, {"for", l->waitingFor.value_or("")}, {"group", mate}});
  }
  for (Json& w : others) {
    waiting.push_back(std::move(w));
  }
  answer["running"] = ctx.running.size();
  answer["waiting"] = std::move(waiting);
  answer["group"] = group ? Json(group->name) : Json(nullptr);

  Spend today, window;
  // Minutes are the series' grain: a window starting inside one counts from the next.
  int64_t windowStart = (ctx.nowMillis - RATE_WINDOW_MS + 59'999) / 60'000 * 60'000;
  spendCached(d, dayStart, windowStart, &today, &window);
  answer["today_usd"] = dollars(today.usd);
  if (!today.priced) {
    answer["today_unpriced"] = true;
  }
  answer["rate_usd_per_hour"] = dollars(window.usd * 3600000.0 / RATE_WINDOW_MS);
  return answer;
}

}  // namespace companion
