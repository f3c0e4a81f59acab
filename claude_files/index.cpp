#include "claude_files/index.h"

#include "claude_files/aggregate_codec.h"
#include "claude_files/file_read.h"
#include "claude_files/folders.h"
#include "claude_files/live.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/watch.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unordered_set>

namespace claude_files {
namespace {

FileStamp stampOf(const struct stat& st) {
  FileStamp s;
  s.dev = static_cast<uint64_t>(st.st_dev);
  s.ino = static_cast<uint64_t>(st.st_ino);
  s.size = static_cast<int64_t>(st.st_size);
  s.mtimeNs = platform::modifiedNanos(st);
  return s;
}

bool sameBytes(const FileStamp& a, const FileStamp& b) {
  return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtimeNs == b.mtimeNs;
}

// Files unchanged this long give their aggregate to the store and keep it there.
constexpr int64_t EVICT_AFTER_NS = int64_t{10} * 60 * 1000000000;
// Fewer rows decode faster than threads start.
constexpr size_t DECODE_PARALLEL_FROM = 16;

std::string idOf(const std::string& key) {
  return key.substr(key.rfind('/') + 1);
}

}  // namespace

std::string claudeDir() {
  const char* set = std::getenv("CLAUDE_CONFIG_DIR");
  if (set != nullptr && *set != '\0') {
    return set;
  }
  return platform::homeDir() + "/.claude";
}

struct Index::File {
  std::string sessionKey;
  FileState state;
  FileStamp seen;         // at the latest look
  uint64_t lookedAt = 0;  // the walk that last found it
  bool evicted = false;   // folded into its session, its aggregate left in the store only
};

struct Index::Session {
  std::set<std::string> paths;
  bool loaded = false;  // read once, so kept current from then on
  bool dirty = true;    // its summary must be folded again
  int64_t newestMtimeNs = 0;
  std::shared_ptr<const TranscriptSummary> summary;
};

struct Index::Reader : FileReader {};

Index::Index(std::string dir, IndexOptions options)
    : m_dir(std::move(dir)),
      m_projects(m_dir + "/projects"),
      m_options(options),
      m_reader(std::make_unique<Reader>()) {
  if (m_options.threads == 0) {
    m_options.threads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  }
}

Index::~Index() = default;

const std::vector<std::shared_ptr<const TranscriptSummary>>& Index::transcripts() const {
  if (m_sharedStale) {
    m_shared.clear();
    for (const auto& [key, s] : m_sessions) {
      if (s.loaded && s.summary) {
        m_shared.push_back(s.summary);
      }
    }
    m_sharedStale = false;
  }
  return m_shared;
}

std::shared_ptr<const TranscriptSummary> Index::findTranscript(std::string_view id) const {
  for (const auto& t : transcripts()) {
    if (t->sessionId == id) {
      return t;
    }
  }
  return nullptr;
}

void Index::refresh(const Need& need) {
  m_bytesRead = m_looked = m_restored = 0;
  m_live = readLiveSessions(m_dir);
  if (m_options.store != nullptr && !m_stored) {
    m_stored =
        std::make_unique<std::unordered_map<std::string, StoredFile>>(m_options.store->stamps());
  }
  lookAtChanges();
  makeCurrent(wanted(need));
}

void Index::lookAtChanges() {
  auto now = std::chrono::steady_clock::now();
  bool first = m_fullLookAt == std::chrono::steady_clock::time_point{};
  if (first && m_options.watch) {
    m_watch = platform::FolderWatch::open();
  }
  bool lost = false;
  std::vector<platform::FolderChange> changes;
  if (m_watch) {
    changes = m_watch->take(&lost);
  }
  if (!m_watch || lost || first || now - m_fullLookAt >= FULL_LOOK_EVERY) {
    m_fullLookAt = now;
    lookBelow(m_projects);
    if (first && m_stored) {
      // Rows of files that are gone since the last run.
      for (const auto& [path, row] : *m_stored) {
        if (m_files.count(path) == 0) {
          m_gone.push_back(path);
        }
      }
    }
    return;
  }
  std::set<std::string> folders, files;
  for (const platform::FolderChange& c : changes) {
    std::string path = c.name.empty() ? c.folder : c.folder + "/" + c.name;
    if (c.isFolder || c.name.empty()) {
      folders.insert(path);
    } else if (endsWith(c.name, ".jsonl")) {
      files.insert(path);
    } else if (endsWith(c.name, ".meta.json")) {
      std::string transcript = path.substr(0, path.size() - 10) + ".jsonl";
      if (auto it = m_files.find(transcript); it != m_files.end() && !it->second.state.main) {
        std::string agent = agentName(transcript);
        it->second.state.named = agent != fileStem(transcript);
        it->second.state.relabel(agent);
        Session& s = m_sessions[it->second.sessionKey];
        s.dirty = true;
        if (s.loaded) {
          m_touched.insert(it->second.sessionKey);
        }
      }
    }
  }
  for (const std::string& folder : folders) {
    lookBelow(folder);
  }
  for (const std::string& path : files) {
    lookAt(path, AT_FDCWD, path);
  }
}

void Index::lookBelow(const std::string& folder) {
  if (folder != m_projects && folder.compare(0, m_projects.size() + 1, m_projects + "/") != 0) {
    return;
  }
  uint64_t walk = ++m_walks;
  // Depth below projects/: 0 projects, 1 a project folder, 2 a session's, 3+ its subagents.
  auto walkFolder = [&](auto& self, const std::string& path, int depth) -> void {
    Listing listing = listFolder(AT_FDCWD, path);
    if (!listing.dir) {
      return;
    }
    if (m_watch && !m_watch->add(path)) {
      m_watch.reset();  // at the OS's limit: look at every file from now on
    }
    for (const FolderEntry& e : listing.entries) {
      std::string child = path + "/" + e.name;
      if (e.folder) {
        bool descend = depth <= 1 || (depth == 2 && e.name == "subagents") ||
                       (depth >= 3 && depth < 3 + SUBAGENT_DEPTH);
        if (descend) {
          self(self, child, depth + 1);
        }
      } else if ((depth == 1 || depth >= 3) && endsWith(e.name, ".jsonl")) {
        lookAt(child, listing.fd(), e.name);
        if (auto it = m_files.find(child); it != m_files.end()) {
          it->second.lookedAt = walk;
        }
      }
    }
  };
  std::string relative =
      folder.size() > m_projects.size() ? folder.substr(m_projects.size() + 1) : "";
  int depth = relative.empty()
                  ? 0
                  : 1 + static_cast<int>(std::count(relative.begin(), relative.end(), '/'));
  walkFolder(walkFolder, folder, depth);
  std::string prefix = folder + "/";
  std::vector<std::string> missing;
  for (auto it = m_files.lower_bound(prefix);
       it != m_files.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
    if (it->second.lookedAt != walk) {
      missing.push_back(it->first);
    }
  }
  for (const std::string& path : missing) {
    forget(path);
  }
}

void Index::lookAt(const std::string& path, int dirFd, const std::string& name) {
  ++m_looked;
  struct stat st {};
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    forget(path);
    return;
  }
  auto it = m_files.find(path);
  if (it == m_files.end()) {
    auto place = placeOf(path.substr(m_projects.size() + 1));
    if (!place) {
      return;
    }
    File f;
    f.sessionKey = place->sessionKey;
    f.state.main = place->main;
    f.state.named = place->main;
    f.state.agent = place->main ? "main" : fileStem(path);
    it = m_files.emplace(path, std::move(f)).first;
    Session& s = m_sessions[place->sessionKey];
    s.paths.insert(path);
    s.dirty = true;
  }
  File& f = it->second;
  FileStamp now = stampOf(st);
  if (sameBytes(now, f.seen)) {
    return;
  }
  f.seen = now;
  Session& s = m_sessions[f.sessionKey];
  s.newestMtimeNs = std::max(s.newestMtimeNs, now.mtimeNs);
  if (s.loaded) {
    m_touched.insert(f.sessionKey);
  }
}

void Index::forget(const std::string& path) {
  auto it = m_files.find(path);
  if (it == m_files.end()) {
    return;
  }
  std::string key = it->second.sessionKey;
  m_files.erase(it);
  m_unsaved.erase(path);
  if (m_stored) {
    m_stored->erase(path);
    m_gone.push_back(path);
  }
  Session& s = m_sessions[key];
  s.paths.erase(path);
  s.dirty = true;
  if (s.loaded) {
    m_touched.insert(key);
  }
}

std::set<std::string> Index::wanted(const Need& need) const {
  std::set<std::string> keys = m_touched;
  std::unordered_set<std::string> liveIds;
  for (const LiveSession& l : m_live) {
    liveIds.insert(l.sessionId);
  }
  size_t liveFound = 0;
  int64_t sinceNs = need.modifiedSinceMillis * 1000000;
  for (const auto& [key, s] : m_sessions) {
    std::string id = idOf(key);
    bool live = liveIds.count(id) != 0;
    liveFound += live ? 1 : 0;
    bool match = need.everything || live ||
                 (need.modifiedSinceMillis >= 0 && s.newestMtimeNs >= sinceNs) ||
                 std::any_of(need.idPrefixes.begin(), need.idPrefixes.end(),
                             [&id](const std::string& p) { return id.starts_with(p); });
    if (match || (s.loaded && s.dirty)) {
      keys.insert(key);
    }
  }
  const_cast<Index*>(this)->m_known =
      m_sessions.size() + liveIds.size() - std::min(liveFound, liveIds.size());
  return keys;
}

void Index::makeCurrent(const std::set<std::string>& keys) {
  // The sessions to fold again, and the files of theirs whose aggregate is not in memory.
  std::vector<std::string> folds;
  std::vector<std::pair<const std::string*, File*>> missing;
  for (const std::string& key : keys) {
    auto sit = m_sessions.find(key);
    if (sit == m_sessions.end()) {
      continue;
    }
    Session& s = sit->second;
    bool changed = s.dirty || !s.loaded;
    for (const std::string& path : s.paths) {
      const File& f = m_files.at(path);
      changed |= !sameBytes(f.state.read, f.seen) || (!f.state.reader && !f.evicted);
    }
    if (!changed) {
      continue;
    }
    folds.push_back(key);
    for (const std::string& path : s.paths) {
      File& f = m_files.at(path);
      if (!f.state.reader) {
        missing.emplace_back(&path, &f);
      }
    }
  }
  restoreAll(missing);
  std::vector<ReadJob> jobs;
  for (const std::string& key : folds) {
    for (const std::string& path : m_sessions.at(key).paths) {
      File& f = m_files.at(path);
      if (!f.state.reader || !sameBytes(f.state.read, f.seen)) {
        if (!f.state.main && !f.state.named) {
          std::string agent = agentName(path);
          f.state.named = agent != fileStem(path);
          f.state.relabel(agent);
        }
        jobs.push_back(ReadJob{&path, &f.state, f.seen.size - f.state.consumed});
      }
    }
  }
  m_bytesRead = readAll(jobs, *m_reader, m_options.threads, m_options.preFilter);
  for (const ReadJob& job : jobs) {
    File& f = m_files.at(*job.path);
    f.evicted = false;
    f.seen = FileStamp{
        f.state.read.dev, f.state.read.ino, f.state.read.size, f.state.read.mtimeNs, 0, 0};
    if (f.state.persistable) {
      m_unsaved.insert(*job.path);
    }
  }
  for (const std::string& key : folds) {
    rebuild(key, &m_sessions.at(key));
  }
  for (const std::string& key : keys) {
    m_touched.erase(key);
  }
}

void Index::restoreAll(const std::vector<std::pair<const std::string*, File*>>& missing) {
  if (!m_stored) {
    return;
  }
  // Rows are fetched one by one on the store's connection, then decoded on a few threads.
  std::vector<std::pair<File*, StoredFile>> rows;
  std::vector<const std::string*> paths;
  for (const auto& [path, f] : missing) {
    if (m_stored->count(*path) == 0) {
      continue;
    }
    std::optional<StoredFile> row = m_options.store->row(*path);
    const FileStamp* kept = row ? &row->stamp : nullptr;
    bool same = kept != nullptr &&
                (sameBytes(*kept, f->seen) ||
                 (kept->dev == f->seen.dev && kept->ino == f->seen.ino &&
                  kept->counted <= f->seen.size && tailMatches(*path, kept->counted, kept->tail)));
    if (same) {
      rows.emplace_back(f, std::move(*row));
      paths.push_back(path);
    } else {
      m_stored->erase(*path);
    }
  }
  std::vector<std::optional<FileAggregate>> decoded(rows.size());
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i = next++; i < rows.size(); i = next++) {
      decoded[i] = decodeAggregate(rows[i].second.data);
      std::string().swap(rows[i].second.data);
    }
  };
  std::vector<std::thread> pool;
  for (unsigned i = 1; i < m_options.threads && rows.size() > DECODE_PARALLEL_FROM; ++i) {
    pool.emplace_back(work);
  }
  work();
  for (std::thread& t : pool) {
    t.join();
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    File* f = rows[i].first;
    if (!decoded[i] || decoded[i]->main != f->state.main) {
      m_stored->erase(*paths[i]);
      continue;
    }
    f->state.adopt(std::move(*decoded[i]), rows[i].second.stamp, m_options.preFilter);
    f->state.named = f->state.main || f->state.agent != fileStem(*paths[i]);
    f->evicted = false;
    ++m_restored;
  }
}

void Index::rebuild(const std::string& key, Session* s) {
  // Every file of the session has its aggregate in memory here: evicted ones were restored.
  s->dirty = false;
  s->loaded = true;
  m_sharedStale = true;
  if (s->paths.empty()) {
    m_sessions.erase(key);
    return;
  }
  auto summary = std::make_shared<TranscriptSummary>();
  for (const std::string& path : s->paths) {
    const File& f = m_files.at(path);
    if (f.state.reader) {
      mergeInto(summary.get(), f.state.reader->aggregate());
    }
  }
  summary->sessionId = idOf(key);
  s->summary = std::move(summary);
}

std::vector<std::pair<std::string, StoredFile>> Index::unsaved(std::vector<std::string>* gone,
                                                               const std::atomic<bool>* yield) {
  std::unordered_set<std::string> liveIds;
  for (const LiveSession& l : m_live) {
    liveIds.insert(l.sessionId);
  }
  int64_t nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  std::vector<std::pair<std::string, StoredFile>> rows;
  while (!m_unsaved.empty() && !(yield != nullptr && yield->load())) {
    std::string path = *m_unsaved.begin();
    m_unsaved.erase(m_unsaved.begin());
    File& f = m_files.at(path);
    if (!f.state.reader || !f.state.persistable) {
      continue;
    }
    rows.emplace_back(
        path, StoredFile{f.sessionKey, f.state.read, encodeAggregate(f.state.reader->aggregate())});
    // A file nobody writes to any more needs only its session's summary in memory.
    if (m_stored && liveIds.count(idOf(f.sessionKey)) == 0 &&
        nowNs - f.seen.mtimeNs > EVICT_AFTER_NS) {
      f.state.reader.reset();
      f.evicted = true;
      (*m_stored)[path];
    }
  }
  gone->insert(gone->end(), m_gone.begin(), m_gone.end());
  m_gone.clear();
  return rows;
}

}  // namespace claude_files
