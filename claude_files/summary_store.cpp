#include "claude_files/summary_store.h"

#include "claude_files/record.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace claude_files {
namespace {

constexpr int BUSY_MILLIS = 2000;

const char* const CREATE =
    "CREATE TABLE IF NOT EXISTS files (path TEXT PRIMARY KEY, session TEXT NOT NULL, "
    "dev INTEGER, ino INTEGER, size INTEGER, mtime INTEGER, counted INTEGER, tail INTEGER, "
    "data BLOB NOT NULL)";

struct Stmt {
  sqlite3_stmt* s = nullptr;
  Stmt(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
  ~Stmt() { sqlite3_finalize(s); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
};

bool exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

sqlite3* connect(const std::string& path, std::string* err) {
  // Made here first so that it is never readable by others, even for a moment.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  struct stat st {};
  bool regular = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (fd >= 0) {
    ::close(fd);
  }
  if (!regular) {
    *err = "open " + path + ": " + (fd < 0 ? std::strerror(errno) : "not a regular file");
    return nullptr;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    *err = db != nullptr ? sqlite3_errmsg(db) : "sqlite3_open";
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, BUSY_MILLIS);
  return db;
}

// Opens both connections, the schema checked; false when the file is unusable as it is.
bool openBoth(const std::string& path, sqlite3** read, sqlite3** write, std::string* err) {
  *write = connect(path, err);
  if (*write == nullptr) {
    return false;
  }
  int version = -1;
  {
    Stmt v(*write, "PRAGMA user_version");
    if (v.s != nullptr && sqlite3_step(v.s) == SQLITE_ROW) {
      version = sqlite3_column_int(v.s, 0);
    }
  }
  bool fresh = version == 0;
  if (version != STORE_SCHEMA && !fresh) {
    *err = version < 0 ? sqlite3_errmsg(*write) : "schema " + std::to_string(version);
    return false;
  }
  std::string setVersion = "PRAGMA user_version=" + std::to_string(STORE_SCHEMA);
  if (!exec(*write, "PRAGMA journal_mode=WAL") || !exec(*write, "PRAGMA synchronous=NORMAL") ||
      !exec(*write, CREATE) || (fresh && !exec(*write, setVersion.c_str())) ||
      !exec(*write, "SELECT count(*) FROM files")) {
    *err = sqlite3_errmsg(*write);
    return false;
  }
  *read = connect(path, err);
  return *read != nullptr;
}

}  // namespace

uint64_t tailHash(const char* bytes, size_t n) {
  uint64_t h = fnv1a(std::string_view(bytes, n));
  return h == 0 ? 1 : h;
}

std::unique_ptr<SummaryStore> SummaryStore::open(const std::string& path, std::string* note) {
  std::unique_ptr<SummaryStore> store(new SummaryStore);
  std::string err;
  if (openBoth(path, &store->m_read, &store->m_write, &err)) {
    return store;
  }
  store.reset(new SummaryStore);
  std::string aside = path + ".damaged";
  bool moved = std::rename(path.c_str(), aside.c_str()) == 0;
  for (const char* extra : {"-wal", "-shm"}) {
    ::unlink((path + extra).c_str());
  }
  *note = path + " (" + err + ")" + (moved ? " posto de lado em " + aside : "");
  std::string again;
  if (openBoth(path, &store->m_read, &store->m_write, &again)) {
    return store;
  }
  *note += "; não foi possível recriá-lo: " + again;
  return nullptr;
}

SummaryStore::~SummaryStore() {
  sqlite3_finalize(m_select);
  sqlite3_close_v2(m_read);
  sqlite3_close_v2(m_write);
}

std::unordered_map<std::string, StoredFile> SummaryStore::stamps() {
  std::unordered_map<std::string, StoredFile> out;
  Stmt q(m_read, "SELECT path, session, dev, ino, size, mtime, counted, tail FROM files");
  while (q.s != nullptr && sqlite3_step(q.s) == SQLITE_ROW) {
    auto text = [&q](int col) {
      const auto* p = sqlite3_column_text(q.s, col);
      return p != nullptr ? std::string(reinterpret_cast<const char*>(p)) : std::string();
    };
    auto num = [&q](int col) { return sqlite3_column_int64(q.s, col); };
    StoredFile f;
    f.sessionKey = text(1);
    f.stamp = FileStamp{
        static_cast<uint64_t>(num(2)), static_cast<uint64_t>(num(3)), num(4), num(5), num(6),
        static_cast<uint64_t>(num(7))};
    out.emplace(text(0), std::move(f));
  }
  return out;
}

std::optional<StoredFile> SummaryStore::row(const std::string& path) {
  if (m_select == nullptr &&
      sqlite3_prepare_v2(m_read,
                         "SELECT session, dev, ino, size, mtime, counted, tail, data FROM files "
                         "WHERE path = ?1",
                         -1, &m_select, nullptr) != SQLITE_OK) {
    return std::nullopt;
  }
  sqlite3_reset(m_select);
  sqlite3_bind_text(m_select, 1, path.data(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
  if (sqlite3_step(m_select) != SQLITE_ROW) {
    return std::nullopt;
  }
  auto num = [this](int col) { return sqlite3_column_int64(m_select, col); };
  StoredFile f;
  const auto* session = sqlite3_column_text(m_select, 0);
  f.sessionKey = session != nullptr ? reinterpret_cast<const char*>(session) : "";
  f.stamp = FileStamp{
      static_cast<uint64_t>(num(1)), static_cast<uint64_t>(num(2)), num(3), num(4), num(5),
      static_cast<uint64_t>(num(6))};
  const void* blob = sqlite3_column_blob(m_select, 7);
  int n = sqlite3_column_bytes(m_select, 7);
  f.data.assign(static_cast<const char*>(blob), blob != nullptr ? static_cast<size_t>(n) : 0);
  sqlite3_reset(m_select);
  return f;
}

bool SummaryStore::write(const std::vector<std::pair<std::string, StoredFile>>& rows,
                         const std::vector<std::string>& gone) {
  if (!exec(m_write, "BEGIN IMMEDIATE")) {
    return false;
  }
  Stmt put(m_write,
           "INSERT OR REPLACE INTO files (path, session, dev, ino, size, mtime, counted, tail, "
           "data) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
  Stmt del(m_write, "DELETE FROM files WHERE path = ?1");
  bool ok = put.s != nullptr && del.s != nullptr;
  for (const auto& [path, f] : rows) {
    if (!ok) {
      break;
    }
    sqlite3_reset(put.s);
    sqlite3_bind_text(put.s, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    sqlite3_bind_text(put.s, 2, f.sessionKey.data(), static_cast<int>(f.sessionKey.size()),
                      SQLITE_STATIC);
    const FileStamp& s = f.stamp;
    int col = 3;
    for (int64_t v : {static_cast<int64_t>(s.dev), static_cast<int64_t>(s.ino), s.size, s.mtimeNs,
                      s.counted, static_cast<int64_t>(s.tail)}) {
      sqlite3_bind_int64(put.s, col++, v);
    }
    sqlite3_bind_blob(put.s, 9, f.data.data(), static_cast<int>(f.data.size()), SQLITE_STATIC);
    ok = sqlite3_step(put.s) == SQLITE_DONE;
  }
  for (const std::string& path : gone) {
    if (!ok) {
      break;
    }
    sqlite3_reset(del.s);
    sqlite3_bind_text(del.s, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    ok = sqlite3_step(del.s) == SQLITE_DONE;
  }
  return exec(m_write, ok ? "COMMIT" : "ROLLBACK") && ok;
}

}  // namespace claude_files
