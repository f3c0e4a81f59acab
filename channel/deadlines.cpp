#include "channel/deadlines.h"

#include "channel/conn.h"
#include "channel/connections.h"
#include "channel/work_queue.h"

#include <asio/steady_timer.hpp>

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace channel {
namespace {

struct Sweep {
  std::mutex lock;
  asio::steady_timer timer{workQueue()};
  bool armed = false;
};
// Never destroyed: workers may still run it while the process exits.
Sweep& gSweep = *new Sweep;

void onSweep(const asio::error_code&);

void arm() {
  gSweep.timer.expires_after(SWEEP_EVERY);
  gSweep.timer.async_wait(onSweep);
}

void onSweep(const asio::error_code&) {
  auto now = std::chrono::steady_clock::now();
  std::vector<std::shared_ptr<HTTPConn>> due;
  connections.forEach([&](const std::shared_ptr<HTTPConn>& conn) {
    if (conn->overdue(now)) {
      due.push_back(conn);
    }
  });
  for (const auto& conn : due) {
    conn->expire();
  }
  std::lock_guard<std::mutex> hold(gSweep.lock);
  // A connection added after this check finds the sweep disarmed and arms it again.
  gSweep.armed = connections.size() > 0;
  if (gSweep.armed) {
    arm();
  }
}

}  // namespace

void sweepSoon() {
  std::lock_guard<std::mutex> hold(gSweep.lock);
  if (!std::exchange(gSweep.armed, true)) {
    arm();
  }
}

}  // namespace channel
