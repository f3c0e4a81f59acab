#include "app_companion/live_data.h"

#include "base/log.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "registry/registry.h"

namespace app_companion {

using namespace companion;

struct Snapshot {
  std::vector<claude_files::LiveSession> live;
  std::vector<std::shared_ptr<const claude_files::TranscriptSummary>> transcripts;
  std::set<pid_t> channels;
  size_t sessionsKnown = 0;
  uint64_t generation = 0;  // which refresh took it; never 0
  int64_t takenAt = 0;      // steady clock, ms
  bool recent = false;      // holds every session modified in the last week
  std::set<std::string> prefixes;
};

namespace {

constexpr int64_t WEEK_MS = 7LL * 24 * 3600 * 1000;
constexpr size_t PREFIXES_KEPT = 64;
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
  next->channels = channelPids();
  next->sessionsKnown = m_index.sessionsKnown();
  next->generation = ++m_generation;
  next->takenAt = steadyMillis();
  next->recent = m_recentWanted;
  next->prefixes = m_prefixes;
  std::lock_guard<std::mutex> snap(m_snapshotMutex);
  m_snapshot = std::move(next);
  return m_snapshot;
}

Json LiveData::with(const Json& request, const std::function<Json(const SessionData&)>& fn) {
  std::shared_ptr<const Snapshot> snap = snapshotFor(needOf(request, wallMillis()));
  std::vector<const claude_files::TranscriptSummary*> transcripts;
  transcripts.reserve(snap->transcripts.size());
  for (const auto& t : snap->transcripts) {
    transcripts.push_back(t.get());
  }
  SessionData data(snap->live, std::move(transcripts), snap->channels,
                   [prices = m_prices.current()](const claude_files::UsageKey& key,
                                                 const claude_files::Tokens& tokens) {
                     return prices->usd(key, tokens);
                   });
  data.sessionsKnown = snap->sessionsKnown;
  data.generation = snap->generation;
  return fn(data);
}

void LiveData::keep() {
  for (bool last = false; !last;) {
    {
      std::unique_lock<std::mutex> hold(m_stopMutex);
      m_stopCv.wait_for(hold, SAVE_EVERY, [this] { return m_stop; });
      last = m_stop;
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
          "⚠️ índice das transcrições: a escrita falhou; esses arquivos serão lidos de novo "
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

}  // namespace app_companion
