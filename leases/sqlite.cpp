#include "leases/sqlite.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace leases {

Db::~Db() {
  if (m_db != nullptr) {
    sqlite3_close_v2(m_db);
  }
}

Db::Db(Db&& other) noexcept : m_db(std::exchange(other.m_db, nullptr)) {}

Db& Db::operator=(Db&& other) noexcept {
  if (this != &other) {
    if (m_db != nullptr) {
      sqlite3_close_v2(m_db);
    }
    m_db = std::exchange(other.m_db, nullptr);
  }
  return *this;
}

bool Db::open(const std::string& path, int busyTimeoutMillis, std::string* err) {
  // SQLite creates files with the umask's mode; make the file ourselves so it is never readable
  // by others, even for a moment.
  // Never waits on a FIFO nor opens a device planted there.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    *err = "open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular) {
    ::fchmod(fd, 0600);
  }
  ::close(fd);
  if (!regular) {
    *err = "open " + path + ": not a regular file";
    return false;
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    *err =
        "sqlite3_open " + path + ": " + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close_v2(db);
    return false;
  }
  *this = Db{};
  m_db = db;
  sqlite3_busy_timeout(m_db, busyTimeoutMillis);
  if (!execWhenFree("PRAGMA journal_mode=WAL") || !exec("PRAGMA synchronous=NORMAL")) {
    *err = "sqlite3 " + path + ": " + error();
    return false;
  }
  return true;
}

bool Db::exec(const char* sql) {
  Stmt stmt(*this, sql);
  while (stmt.step()) {
  }
  return stmt && stmt.ok();
}

bool Db::execWhenFree(const char* sql) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (exec(sql)) {
      return true;
    }
    int code = sqlite3_errcode(m_db);
    if (code != SQLITE_BUSY && code != SQLITE_LOCKED) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string Db::error() const {
  return m_db != nullptr ? sqlite3_errmsg(m_db) : "no database";
}

Stmt::Stmt(const Db& db, std::string_view sql) {
  if (sqlite3_prepare_v3(db.get(), sql.data(), static_cast<int>(sql.size()), 0, &m_stmt, nullptr) !=
      SQLITE_OK) {
    m_stmt = nullptr;
    m_ok = false;
  }
}

Stmt::~Stmt() {
  sqlite3_finalize(m_stmt);
}

void Stmt::bind(int index, std::string_view text) {
  sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void Stmt::bind(int index, int64_t value) {
  sqlite3_bind_int64(m_stmt, index, value);
}

void Stmt::bind(int index, const std::optional<int64_t>& value) {
  if (value) {
    bind(index, *value);
  } else {
    sqlite3_bind_null(m_stmt, index);
  }
}

bool Stmt::step() {
  if (m_stmt == nullptr || !m_ok) {
    return false;
  }
  int rc = sqlite3_step(m_stmt);
  if (rc == SQLITE_ROW) {
    return true;
  }
  m_ok = rc == SQLITE_DONE;
  return false;
}

std::string Stmt::text(int column) const {
  const unsigned char* p = sqlite3_column_text(m_stmt, column);
  return p != nullptr ? std::string(reinterpret_cast<const char*>(p),
                                    static_cast<size_t>(sqlite3_column_bytes(m_stmt, column)))
                      : std::string();
}

int64_t Stmt::integer(int column) const {
  return sqlite3_column_int64(m_stmt, column);
}

std::optional<int64_t> Stmt::optionalInteger(int column) const {
  if (sqlite3_column_type(m_stmt, column) == SQLITE_NULL) {
    return std::nullopt;
  }
  return integer(column);
}

Transaction::Transaction(Db& db) : m_db(db) {
  m_begun = m_db.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (m_begun && !m_done) {
    m_db.exec("ROLLBACK");
  }
}

bool Transaction::commit() {
  if (!m_begun || m_done) {
    return false;
  }
  m_done = m_db.exec("COMMIT");
  return m_done;
}

}  // namespace leases
