#pragma once

// Advisory leases on named resources, kept in SQLite so that they outlive the companion and so
// that several processes sharing the file agree on one holder. A lease ends at its expiry, on
// release, or as soon as its holder's process is found gone: every call that reads leases drops
// the ended ones first, inside the same BEGIN IMMEDIATE transaction that decides.

#include "leases/sqlite.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace leases {

// Who holds a lease: a session (by id) or a bare process (by pid and its start). The identity
// fields make a reused pid count as gone.
struct Holder {
  std::string name;       // shown to others: the session's name or "pid N"
  std::string sessionId;  // empty for a caller that is no session
  pid_t pid = 0;
  // Both empty: no process to watch, the lease ends only by time or release.
  std::optional<int64_t> startTicks;
  std::optional<int64_t> startedAtMillis;
};

struct Lease {
  std::string resource;
  Holder holder;
  std::string reason;
  int64_t expiresAtMillis = 0;
};

bool sameHolder(const Holder& a, const Holder& b);

// The holder's process still runs, and is the same run that took the lease.
bool holderAlive(const Holder& holder);

// The process `pid` as a holder, its identity read now.
Holder holderOf(std::string name, std::string sessionId, pid_t pid);

struct Acquired {
  bool granted = false;
  Lease lease;  // granted: the caller's lease as stored; denied: the other holder's
};

enum class Released { Yes, NotHeld, HeldByOther };

// One per process; safe to call from several threads (calls are serialised).
class LeaseStore {
 public:
  // Opens (or reopens) the store at `path`; until it succeeds, every call below fails.
  bool open(const std::string& path, std::string* err);

  // Grants `wanted` unless a live lease of another holder exists; the same holder renews.
  std::optional<Acquired> acquire(const Lease& wanted, int64_t nowMillis, std::string* err);
  // *other receives the holder when HeldByOther.
  std::optional<Released> release(const std::string& resource, const Holder& holder,
                                  int64_t nowMillis, Holder* other, std::string* err);
  // Live leases ordered by resource; only `resource`'s when given.
  std::optional<std::vector<Lease>> live(const std::optional<std::string>& resource,
                                         int64_t nowMillis, std::string* err);

 private:
  std::optional<Lease> liveLease(const std::string& resource, int64_t nowMillis, bool* ok);
  bool dropEnded(int64_t nowMillis);

  std::mutex m_mutex;
  Db m_db;
  bool m_open = false;  // every call fails with an error until open() succeeds
};

}  // namespace leases
