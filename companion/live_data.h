#pragma once

// The readers of Claude Code's files and of our registry, shared by every connection. A request
// is answered over an immutable snapshot that holds what it asks about and is at most
// REFRESH_EVERY old; ops run on their own copy of the pointer, so no op holds a lock while it
// waits or does I/O. Per-file aggregates are written to the store by a thread of its own, which
// also takes the first full look at Claude Code's folders once a question answered without it.

#include "base/json.h"
#include "claude_files/index.h"
#include "claude_files/prices.h"
#include "sessions/session_data.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace companion {

inline constexpr std::chrono::milliseconds REFRESH_EVERY{200};
inline constexpr std::chrono::milliseconds SAVE_EVERY{1000};

struct Snapshot;

class LiveData {
 public:
  explicit LiveData(const std::string& stateDir);
  ~LiveData();
  LiveData(const LiveData&) = delete;
  LiveData& operator=(const LiveData&) = delete;

  // fn's answer over a snapshot holding what `request` asks about. Many may read at once.
  ops::Json with(const ops::Json& request,
                 const std::function<ops::Json(const ops::SessionData&)>& fn);

 private:
  std::shared_ptr<const Snapshot> snapshotFor(const claude_files::Need& need);
  void keep();

  std::unique_ptr<claude_files::SummaryStore> m_store;
  std::mutex m_indexMutex;  // one refresh or save at a time; never held by an op
  std::atomic<bool> m_refreshWaiting{false};
  claude_files::Index m_index;
  claude_files::LivePrices m_prices;
  uint64_t m_generation = 0;         // snapshots taken, under m_indexMutex
  bool m_recentWanted = false;       // a list was asked for: recent sessions stay read
  std::set<std::string> m_prefixes;  // id prefixes asked for, kept read
  std::mutex m_snapshotMutex;        // held only to copy the pointer
  std::shared_ptr<const Snapshot> m_snapshot;
  std::mutex m_stopMutex;
  std::condition_variable m_stopCv;
  bool m_stop = false;
  bool m_walkWanted = false;  // under m_stopMutex
  std::thread m_keeper;
};

// What a request needs read: a list its recent sessions, a name the sessions it may name by id.
claude_files::Need needOf(const ops::Json& request, int64_t nowMillis);

// claude pids that a live record in our registry serves (the record's server is their child).
std::set<pid_t> channelPids();

}  // namespace companion
