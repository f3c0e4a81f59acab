#include "claude_files/index.h"

#include "claude_files/aggregate_codec.h"
#include "claude_files/file_read.h"
#include "claude_files/folders.h"
#include "claude_files/index_parts.h"
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

// Files unchanged this long give their aggregate to the store and keep it there.
constexpr int64_t EVICT_AFTER_NS = int64_t{10} * 60 * 1000000000;
// How much processor time each reading thread of one refresh spends at most (about 2 GB here): a
// huge history is read over several refreshes instead of holding every client up at once.
constexpr std::chrono::milliseconds REFRESH_READ_TIME{1000};

}  // namespace

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

std::string idOf(const std::string& key) {
  return key.substr(key.rfind('/') + 1);
}

std::string claudeDir() {
  const char* set = std::getenv("CLAUDE_CONFIG_DIR");
  if (set != nullptr && *set != '\0') {
    return set;
  }
  return platform::homeDir() + "/.claude";
}

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

void Index::loadStamps() {
  if (m_options.store != nullptr && !m_stored) {
    m_stored =
        std::make_unique<std::unordered_map<std::string, StoredFile>>(m_options.store->stamps());
  }
}

void Index::refresh(const Need& need) {
  m_bytesRead = m_looked = m_restored = 0;
  m_live = readLiveSessions(m_dir);
  loadStamps();
  if (!walked() && !need.everything && need.modifiedSinceMillis < 0) {
    lookFor(need);
  } else {
    lookAtChanges();
  }
  makeCurrent(wanted(need));
}

void Index::walk() {
  if (!walked()) {
    loadStamps();
    lookAtChanges();
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
  m_bytesRead = readAll(jobs, *m_reader, m_options.threads, m_options.preFilter, REFRESH_READ_TIME);
  std::set<std::string> unfinished;  // sessions with bytes left for the next refresh
  for (const ReadJob& job : jobs) {
    File& f = m_files.at(*job.path);
    f.evicted = false;
    bool more = f.state.sizeAtRead > f.state.read.size;
    f.seen = FileStamp{f.state.read.dev,
                       f.state.read.ino,
                       more ? f.state.sizeAtRead : f.state.read.size,
                       f.state.read.mtimeNs,
                       0,
                       0};
    if (more) {
      unfinished.insert(f.sessionKey);
    }
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
  m_touched.insert(unfinished.begin(), unfinished.end());
}

void Index::restoreAll(const std::vector<std::pair<const std::string*, File*>>& missing) {
  if (!m_stored) {
    return;
  }
  // Rows are fetched one by one on the store's connection (one statement, prepared once).
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
  // One thread: decoding a row costs microseconds, less than a thread's start and its arena.
  std::vector<std::optional<FileAggregate>> decoded(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    decoded[i] = decodeAggregate(rows[i].second.data);
    std::string().swap(rows[i].second.data);
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