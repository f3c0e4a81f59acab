#pragma once

// Thin owners of an SQLite connection and its prepared statements. Errors are values: every call
// that can fail returns false (or an empty optional) and leaves the message in Db::error().

#include <cstdint>
#include <optional>
#include <sqlite3.h>
#include <string>
#include <string_view>

namespace leases {

class Db {
 public:
  Db() = default;
  ~Db();
  Db(Db&& other) noexcept;
  Db& operator=(Db&& other) noexcept;
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  // Opens (creating it 0600 when missing) in WAL mode with a busy timeout, so that writers in
  // other processes wait for each other instead of failing.
  bool open(const std::string& path, int busyTimeoutMillis, std::string* err);
  bool exec(const char* sql);  // statements without parameters or rows
  // exec, retried for a bounded while when the database is busy in a way the busy timeout does
  // not cover (turning on WAL while another connection opens the same new file).
  bool execWhenFree(const char* sql);
  sqlite3* get() const { return m_db; }
  std::string error() const;

 private:
  sqlite3* m_db = nullptr;
};

class Stmt {
 public:
  Stmt(const Db& db, std::string_view sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  explicit operator bool() const { return m_stmt != nullptr; }
  // Parameters count from 1, as in SQLite.
  void bind(int index, std::string_view text);
  void bind(int index, int64_t value);
  void bind(int index, const std::optional<int64_t>& value);
  // True while a row is available; false at the end or on an error (then ok() is false).
  bool step();
  bool ok() const { return m_ok; }
  std::string text(int column) const;
  int64_t integer(int column) const;
  std::optional<int64_t> optionalInteger(int column) const;

 private:
  sqlite3_stmt* m_stmt = nullptr;
  bool m_ok = true;
};

// BEGIN IMMEDIATE on construction; rolled back on destruction unless commit() succeeded.
class Transaction {
 public:
  explicit Transaction(Db& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool begun() const { return m_begun; }
  bool commit();

 private:
  Db& m_db;
  bool m_begun = false;
  bool m_done = false;
};

}  // namespace leases
