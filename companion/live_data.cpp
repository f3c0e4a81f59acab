#include "companion/live_data.h"

#include "base/log.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "registry/registry.h"
#include "sessions/names.h"

#include <utility>

namespace companion {

using namespace ops;

// What every request over one refresh reads, sessions named and prices taken once for all.
struct Snapshot {
  std::vector<claude_files::LiveSession> live;
  std::vector<std::shared_ptr<const claude_files::TranscriptSummary>> transcripts;
  std::unique_ptr<SessionData> data;  // over live and transcripts
  int64_t takenAt = 0;                // steady clock, ms
  bool recent = false;                // holds every session modified in the last week
  bool walked = false;                // taken after the index's first full look
  std::set<std::string> prefixes;
};

namespace {

constexpr int64_t WEEK_MS = 7LL * 24 * 3600 * 1000;
constexpr size_t PREFIXES_KEPT = 64;
constexpr std::chrono::milliseconds WALK_AFTER{100};
// Shorter keys would match, and read, sessions by chance.
constexpr size_t ID_PREFIX_MIN = 4;

int64_t steadyMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t wallMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::unique_ptr<claude_files::SummaryStore> storeIn(const std::string& stateDir) {
  std::string note;
  auto store = claude_files::SummaryStore::open(stateDir + "/transcripts.db", &note);
  if (!note.empty()) {
    base::logErr("⚠️ índice das transcrições: " + note);
  }
  return store;
}

bool covers(const Snapshot& s, const claude_files::Need& need, int64_t now) {
  if (now - s.takenAt >= REFRESH_EVERY.count() || (need.modifiedSinceMillis >= 0 && !s.recent)) {
    return false;
  }
  for (const std::string& p : need.idPrefixes) {
    if (s.prefixes.count(p) == 0) {
      return false;
    }
  }
  return true;
}

// Names depend on these alone; a summary that changed otherwise (a new answer) keeps the names.
bool sameNaming(const TranscriptSummary& a, const TranscriptSummary& b) {
  return &a == &b || (a.sessionId == b.sessionId && a.customTitle == b.customTitle &&
                      a.aiTitle == b.aiTitle && a.cwd == b.cwd && a.firstMillis == b.firstMillis);
}

bool sameNaming(const LiveSession& a, const LiveSession& b) {
  return a.sessionId == b.sessionId && a.name == b.name && a.cwd == b.cwd && a.pid == b.pid &&
         a.startedAtMillis == b.startedAtMillis;
}

bool sameNaming(const Snapshot& before, const Snapshot& now) {
  if (before.live.size() != now.live.size() ||
      before.transcripts.size() != now.transcripts.size()) {
    return false;
  }
  for (size_t i = 0; i < now.live.size(); ++i) {
    if (!sameNaming(before.live[i], now.live[i])) {
      return false;
    }
  }
  for (size_t i = 0; i < now.transcripts.size(); ++i) {
    if (!sameNaming(*before.transcripts[i], *now.transcripts[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

claude_files::Need needOf(const Json& request, int64_t nowMillis) {
  claude_files::Need need;
  auto op = request.find("op");
  // The status line sums today's spend over every session, so it needs the recent ones too.
  static const std::set<std::string, std::less<>> LISTING = {"list", "group_context",
                                                             "user_scratchpad", "statusline"};
  if (op != request.end() && op->is_string() && LISTING.count(op->get<std::string>()) != 0) {
    need.modifiedSinceMillis = nowMillis - WEEK_MS;
  }
  for (const char* key : {"name", "session", "session_id"}) {
    auto it = request.find(key);
    if (it != request.end() && it->is_string() && it->get<std::string>().size() >= ID_PREFIX_MIN) {
      need.idPrefixes.push_back(it->get<std::string>());
    }
  }
  return need;
}

LiveData::LiveData(const std::string& stateDir)
    : m_store(storeIn(stateDir)),
      m_index(claude_files::claudeDir(), claude_files::IndexOptions{true, m_store.get(), true, 0}),
      m_prices(stateDir + "/prices.json"),
      m_keeper([this] { keep(); }) {}

LiveData::~LiveData() {
  {
    std::lock_guard<std::mutex> hold(m_stopMutex);
    m_stop = true;
  }
  m_stopCv.notify_all();
  m_keeper.join();
}

std::shared_ptr<const Snapshot> LiveData::snapshotFor(const claude_files::Need& need) {
  {
    std::lock_guard<std::mutex> hold(m_snapshotMutex);
    if (m_snapshot && covers(*m_snapshot, need, steadyMillis())) {
      return m_snapshot;
    }
  }
  m_refreshWaiting = true;
  std::lock_guard<std::mutex> hold(m_indexMutex);
  m_refreshWaiting = false;
  {
    // Another connection may have refreshed while this one waited.
    std::lock_guard<std::mutex> snap(m_snapshotMutex);
    if (m_snapshot && covers(*m_snapshot, need, steadyMillis())) {
      return m_snapshot;
    }
  }
  m_recentWanted |= need.modifiedSinceMillis >= 0;
  for (const std::string& p : need.idPrefixes) {
    if (m_prefixes.size() >= PREFIXES_KEPT) {
      m_prefixes.erase(m_prefixes.begin());
    }
    m_prefixes.insert(p);
  }
  claude_files::Need all = need;
  all.modifiedSinceMillis = m_recentWanted ? wallMillis() - WEEK_MS : -1;
  all.idPrefixes.assign(m_prefixes.begin(), m_prefixes.end());
  m_index.refresh(all);
  auto next = std::make_shared<Snapshot>();
  next->live = m_index.live();
  next->transcripts = m_index.transcripts();
  std::vector<const claude_files::TranscriptSummary*> transcripts;
  transcripts.reserve(next->transcripts.size());
  for (const auto& t : next->transcripts) {
    transcripts.push_back(t.get());
  }
  next->data = std::make_unique<SessionData>(
      next->live, std::move(transcripts), channelPids(),
      [prices = m_prices.current()](const claude_files::UsageKey& key,
                                    const claude_files::Tokens& tokens) {
        return prices->usd(key, tokens);
      });
  next->data->sessionsKnown = m_index.sessionsKnown();
  next->data->generation = ++m_generation;
  std::shared_ptr<const Snapshot> last;
  {
    std::lock_guard<std::mutex> snap(m_snapshotMutex);
    last = m_snapshot;
  }
  // Naming sorts and compares every session: done again only when a name may change.
  next->data->named = last && last->data->named && sameNaming(*last, *next)
                          ? *last->data->named
                          : nameSessions(next->data->live, next->data->transcripts);
  next->takenAt = steadyMillis();
  next->recent = m_recentWanted;
  next->walked = m_index.walked();
  next->prefixes = m_prefixes;
  std::lock_guard<std::mutex> snap(m_snapshotMutex);
  m_snapshot = std::move(next);
  return m_snapshot;
}

Json LiveData::with(const Json& request, const std::function<Json(const SessionData&)>& fn) {
  std::shared_ptr<const Snapshot> snap = snapshotFor(needOf(request, wallMillis()));
  Json answer = fn(*snap->data);
  if (!snap->walked) {
    // The answer first: the look at every folder and their watches come after it.
    {
      std::lock_guard<std::mutex> hold(m_stopMutex);
      m_walkWanted = true;
    }
    m_stopCv.notify_all();
  }
  return answer;
}

void LiveData::keep() {
  for (bool last = false; !last;) {
    bool walk = false;
    {
      std::unique_lock<std::mutex> hold(m_stopMutex);
      m_stopCv.wait_for(hold, SAVE_EVERY, [this] { return m_stop || m_walkWanted; });
      last = m_stop;
      walk = std::exchange(m_walkWanted, false);
    }
    if (walk && !last) {
      {
        // After the answer has gone out, not beside it on a busy machine's cores.
        std::unique_lock<std::mutex> hold(m_stopMutex);
        last = m_stopCv.wait_for(hold, WALK_AFTER, [this] { return m_stop; });
      }
      std::lock_guard<std::mutex> hold(m_indexMutex);
      if (!last) {
        m_index.walk();
      }
    }
    if (!m_store) {
      continue;
    }
    std::vector<std::pair<std::string, claude_files::StoredFile>> rows;
    std::vector<std::string> gone;
    {
      // Encoding yields to a refresh between files; the write itself holds no lock of the index.
      std::unique_lock<std::mutex> hold(m_indexMutex, std::defer_lock);
      if (last) {
        hold.lock();
      } else if (!hold.try_lock()) {
        continue;
      }
      rows = m_index.unsaved(&gone, last ? nullptr : &m_refreshWaiting);
    }
    if ((!rows.empty() || !gone.empty()) && !m_store->write(rows, gone)) {
      base::logErr(
          "⚠️ índice das transcrições: a escrita falhou; esses arquivos serão lidos de "
          "novo "
          "no "
          "próximo início");
    }
  }
}

std::set<pid_t> channelPids() {
  std::set<pid_t> pids;
  for (const Json& record : registry::liveRegistry()) {
    auto pid = registry::integralNumber(record, "pid");
    platform::ProcessIdentity id;
    if (pid && platform::signallablePid(*pid) &&
        platform::processIdentity(static_cast<pid_t>(*pid), &id) && id.parent > 0) {
      pids.insert(id.parent);
    }
  }
  return pids;
}

}  // namespace companion
