#include "app_companion/live_data.h"

#include "platform/platform.h"
#include "platform/posix.h"
#include "registry/registry.h"

#include <mutex>

namespace app_companion {

using namespace companion;
namespace {

int64_t steadyMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

LiveData::LiveData(const std::string& stateDir)
    : m_index(claude_files::claudeDir()), m_prices(stateDir + "/prices.json") {}

Json LiveData::with(const std::function<Json(const SessionData&)>& fn) {
  if (steadyMillis() - m_refreshedAt.load() >= REFRESH_EVERY.count()) {
    std::unique_lock<std::shared_mutex> hold(m_mutex);
    // Another connection may have refreshed while this one waited for the lock.
    if (steadyMillis() - m_refreshedAt.load() >= REFRESH_EVERY.count()) {
      m_index.refresh();
      m_channels = channelPids();
      ++m_generation;
      m_refreshedAt = steadyMillis();
    }
  }
  std::shared_lock<std::shared_mutex> hold(m_mutex);
  SessionData data(m_index.live(), m_index.transcripts(), m_channels,
                   [prices = m_prices.current()](const claude_files::UsageKey& key,
                                                 const claude_files::Tokens& tokens) {
                     return prices->usd(key, tokens);
                   });
  data.generation = m_generation;
  return fn(data);
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
