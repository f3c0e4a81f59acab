#include "leases/lease_store.h"

#include "platform/platform.h"

#include <utility>

namespace leases {
namespace {

constexpr int BUSY_TIMEOUT_MILLIS = 5000;
constexpr const char* COLUMNS =
    "resource, holder, session_id, pid, start_ticks, started_at_ms, reason, expires_at_ms";

Lease leaseFromRow(const Stmt& s) {
  Lease l;
  l.resource = s.text(0);
  l.holder.name = s.text(1);
  l.holder.sessionId = s.text(2);
  l.holder.pid = static_cast<pid_t>(s.integer(3));
  l.holder.startTicks = s.optionalInteger(4);
  l.holder.startedAtMillis = s.optionalInteger(5);
  l.reason = s.text(6);
  l.expiresAtMillis = s.integer(7);
  return l;
}

bool ended(const Lease& l, int64_t nowMillis) {
  return l.expiresAtMillis <= nowMillis || !holderAlive(l.holder);
}

bool fail(const Db& db, const char* what, std::string* err) {
  *err = std::string(what) + ": " + db.error();
  return false;
}

bool dropLease(Db& db, const std::string& resource) {
  Stmt del(db, "DELETE FROM leases WHERE resource = ?1");
  del.bind(1, resource);
  del.step();
  return del.ok();
}

}  // namespace

bool sameHolder(const Holder& a, const Holder& b) {
  if (!a.sessionId.empty() || !b.sessionId.empty()) {
    return a.sessionId == b.sessionId;
  }
  return a.pid == b.pid && a.startTicks == b.startTicks && a.startedAtMillis == b.startedAtMillis;
}

bool holderAlive(const Holder& holder) {
  // A process we could not see when it took the lease cannot be watched: time or release ends it.
  if (holder.pid <= 0 || (!holder.startTicks && !holder.startedAtMillis)) {
    return true;
  }
  platform::ProcessIdentity id;
  if (!platform::processIdentity(holder.pid, &id)) {
    return false;
  }
  if (holder.startTicks) {
    return id.startTicks && static_cast<int64_t>(*id.startTicks) == *holder.startTicks;
  }
  if (holder.startedAtMillis) {
    return id.startedAtMillis == holder.startedAtMillis;
  }
  return true;
}

Holder holderOf(std::string name, std::string sessionId, pid_t pid) {
  Holder h{std::move(name), std::move(sessionId), pid, std::nullopt, std::nullopt};
  platform::ProcessIdentity id;
  if (pid > 0 && platform::processIdentity(pid, &id)) {
    if (id.startTicks) {
      h.startTicks = static_cast<int64_t>(*id.startTicks);
    }
    h.startedAtMillis = id.startedAtMillis;
  }
  return h;
}

bool LeaseStore::open(const std::string& path, std::string* err) {
  std::lock_guard lock(m_mutex);
  m_open = false;
  if (!m_db.open(path, BUSY_TIMEOUT_MILLIS, err)) {
    return false;
  }
  if (!m_db.execWhenFree(
          "CREATE TABLE IF NOT EXISTS leases (resource TEXT PRIMARY KEY, holder TEXT NOT "
          "NULL, session_id TEXT NOT NULL, pid INTEGER NOT NULL, start_ticks INTEGER, "
          "started_at_ms INTEGER, reason TEXT NOT NULL, expires_at_ms INTEGER NOT NULL)")) {
    return fail(m_db, "create table leases", err);
  }
  m_open = true;
  return true;
}

std::optional<Lease> LeaseStore::liveLease(const std::string& resource, int64_t nowMillis,
                                           bool* ok) {
  Stmt s(m_db, std::string("SELECT ") + COLUMNS + " FROM leases WHERE resource = ?1");
  s.bind(1, resource);
  std::optional<Lease> found;
  if (s.step()) {
    found = leaseFromRow(s);
  }
  *ok = s && s.ok();
  if (found && ended(*found, nowMillis)) {
    *ok = dropLease(m_db, resource) && *ok;
    found.reset();
  }
  return found;
}

bool LeaseStore::dropEnded(int64_t nowMillis) {
  std::vector<std::string> gone;
  Stmt s(m_db, std::string("SELECT ") + COLUMNS + " FROM leases");
  while (s.step()) {
    Lease l = leaseFromRow(s);
    if (ended(l, nowMillis)) {
      gone.push_back(l.resource);
    }
  }
  if (!s || !s.ok()) {
    return false;
  }
  for (const std::string& resource : gone) {
    if (!dropLease(m_db, resource)) {
      return false;
    }
  }
  return true;
}

std::optional<Acquired> LeaseStore::acquire(const Lease& wanted, int64_t nowMillis,
                                            std::string* err) {
  std::lock_guard lock(m_mutex);
  if (!m_open) {
    *err = "the lease store could not be opened";
    return std::nullopt;
  }
  Transaction tx(m_db);
  if (!tx.begun()) {
    fail(m_db, "begin", err);
    return std::nullopt;
  }
  bool ok = true;
  std::optional<Lease> current = liveLease(wanted.resource, nowMillis, &ok);
  if (!ok) {
    fail(m_db, "read lease", err);
    return std::nullopt;
  }
  if (current && !sameHolder(current->holder, wanted.holder)) {
    return Acquired{false, *current};
  }
  Stmt put(m_db, std::string("INSERT OR REPLACE INTO leases (") + COLUMNS +
                     ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  put.bind(1, wanted.resource);
  put.bind(2, wanted.holder.name);
  put.bind(3, wanted.holder.sessionId);
  put.bind(4, static_cast<int64_t>(wanted.holder.pid));
  put.bind(5, wanted.holder.startTicks);
  put.bind(6, wanted.holder.startedAtMillis);
  put.bind(7, wanted.reason);
  put.bind(8, wanted.expiresAtMillis);
  put.step();
  if (!put.ok() || !tx.commit()) {
    fail(m_db, "write lease", err);
    return std::nullopt;
  }
  return Acquired{true, wanted};
}

std::optional<Released> LeaseStore::release(const std::string& resource, const Holder& holder,
                                            int64_t nowMillis, Holder* other, std::string* err) {
  std::lock_guard lock(m_mutex);
  if (!m_open) {
    *err = "the lease store could not be opened";
    return std::nullopt;
  }
  Transaction tx(m_db);
  if (!tx.begun()) {
    fail(m_db, "begin", err);
    return std::nullopt;
  }
  bool ok = true;
  std::optional<Lease> current = liveLease(resource, nowMillis, &ok);
  Released result = Released::NotHeld;
  if (ok && current && !sameHolder(current->holder, holder)) {
    *other = current->holder;
    result = Released::HeldByOther;
  } else if (ok && current) {
    ok = dropLease(m_db, resource);
    result = Released::Yes;
  }
  // Ended leases dropped while looking are worth keeping dropped whatever the answer.
  if (!ok || !tx.commit()) {
    fail(m_db, "release lease", err);
    return std::nullopt;
  }
  return result;
}

std::optional<std::vector<Lease>> LeaseStore::live(const std::optional<std::string>& resource,
                                                   int64_t nowMillis, std::string* err) {
  std::lock_guard lock(m_mutex);
  if (!m_open) {
    *err = "the lease store could not be opened";
    return std::nullopt;
  }
  Transaction tx(m_db);
  if (!tx.begun() || !dropEnded(nowMillis)) {
    fail(m_db, "read leases", err);
    return std::nullopt;
  }
  std::vector<Lease> out;
  Stmt s(m_db,
         std::string("SELECT ") + COLUMNS +
             (resource ? " FROM leases WHERE resource = ?1" : " FROM leases ORDER BY resource"));
  if (resource) {
    s.bind(1, *resource);
  }
  while (s.step()) {
    out.push_back(leaseFromRow(s));
  }
  if (!s || !s.ok() || !tx.commit()) {
    fail(m_db, "read leases", err);
    return std::nullopt;
  }
  return out;
}

}  // namespace leases
