#pragma once

// The readers of Claude Code's files and of our registry, shared by every connection and
// refreshed at most every REFRESH_EVERY, so a burst of requests reads the disk once.

#include "base/json.h"
#include "claude_files/index.h"
#include "claude_files/prices.h"
#include "companion/session_data.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <shared_mutex>
#include <string>

namespace app_companion {

inline constexpr std::chrono::milliseconds REFRESH_EVERY{200};

class LiveData {
 public:
  explicit LiveData(const std::string& stateDir);

  // fn's answer over a snapshot no older than REFRESH_EVERY. Many may read at once.
  companion::Json with(const std::function<companion::Json(const companion::SessionData&)>& fn);

 private:
  std::shared_mutex m_mutex;
  claude_files::Index m_index;
  claude_files::LivePrices m_prices;
  std::set<pid_t> m_channels;
  std::atomic<int64_t> m_refreshedAt{-1};  // steady clock, ms
  uint64_t m_generation = 0;               // refreshes so far, under m_mutex
};

// claude pids that a live record in our registry serves (the record's server is their child).
std::set<pid_t> channelPids();

}  // namespace app_companion
