#include "claude_files/index.h"

#include "base/json.h"
#include "claude_files/live.h"
#include "claude_files/transcript.h"
#include "platform/files.h"
#include "platform/unique_fd.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

namespace claude_files {
namespace {

constexpr size_t CHUNK = size_t{4} << 20;
// How long one refresh reads at most, all files together: a huge file is read over several
// refreshes instead of holding every client up at once.
constexpr std::chrono::milliseconds REFRESH_READ_TIME{1000};
constexpr size_t BUFFER = CHUNK + simdjson::SIMDJSON_PADDING;
constexpr int SUBAGENT_DEPTH = 8;
constexpr size_t META_MAX = 64 * 1024;

struct Entry {
  std::string name;
  bool dir = false;
};

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

// A folder's entries, with the folder kept open so that its files are looked at by name alone:
// resolving whole paths again for every file was most of a warm refresh.
struct Listing {
  std::unique_ptr<DIR, DirCloser> dir;
  std::vector<Entry> entries;
  int fd() const { return dir ? ::dirfd(dir.get()) : -1; }
};

// `path` is opened relative to the open folder `at` (or the working directory for AT_FDCWD).
Listing list(int at, const std::string& path) {
  Listing out;
  int fd = ::openat(at, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return out;
  }
  out.dir.reset(::fdopendir(fd));
  if (!out.dir) {
    ::close(fd);
    return out;
  }
  while (const dirent* e = ::readdir(out.dir.get())) {
    std::string name = e->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    bool isDir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st {};
      isDir =
          ::fstatat(out.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    out.entries.push_back(Entry{std::move(name), isDir});
  }
  return out;
}

// The subagent's type from `agent-<id>.meta.json` beside its transcript, else the file's name.
std::string agentName(const std::string& transcriptPath) {
  std::string stem = transcriptPath.substr(0, transcriptPath.size() - 6);
  std::string name = stem.substr(stem.rfind('/') + 1);
  platform::UniqueFd fd{
      ::open((stem + ".meta.json").c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW)};
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size > static_cast<off_t>(META_MAX)) {
    return name;
  }
  std::string text(static_cast<size_t>(st.st_size), '\0');
  ssize_t n = ::read(fd.get(), text.data(), text.size());
  base::Json meta = base::parseJson(text.substr(0, n > 0 ? static_cast<size_t>(n) : 0));
  if (!meta.is_object()) {
    return name;
  }
  for (const char* key : {"agentType", "subagentType", "subagent_type"}) {
    if (auto it = meta.find(key); it != meta.end() && it->is_string() && !it->empty()) {
      return it->get<std::string>();
    }
  }
  return name;
}

bool endsWith(const std::string& s, std::string_view tail) {
  return s.size() > tail.size() && std::string_view(s).substr(s.size() - tail.size()) == tail;
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
  std::unique_ptr<TranscriptReader> reader;
  bool main = true;
  bool named = true;  // a subagent's type is known (else its file name stands in)
  dev_t dev = 0;
  ino_t ino = 0;
  off_t consumed = 0;
  uint64_t seen = 0;  // generation of the last scan that found it
};

Index::Index(std::string dir, bool preFilter)
    : m_dir(std::move(dir)), m_preFilter(preFilter), m_buffer(new char[BUFFER]) {}

Index::~Index() = default;

std::optional<size_t> Index::findTranscript(std::string_view sessionId) const {
  auto it = m_byId.find(std::string(sessionId));
  return it == m_byId.end() ? std::nullopt : std::optional<size_t>(it->second);
}

void Index::refresh() {
  m_live = readLiveSessions(m_dir);
  ++m_generation;
  m_bytesRead = 0;
  m_readUntil = std::chrono::steady_clock::now() + REFRESH_READ_TIME;
  scanProjects();
  for (auto it = m_files.begin(); it != m_files.end();) {
    if (it->second->seen != m_generation) {
      m_dirty.insert(it->first.first);
      it = m_files.erase(it);
    } else {
      ++it;
    }
  }
  bool moved = false;  // a session came or went, so places in m_transcripts changed
  for (const std::string& key : m_dirty) {
    bool had = m_slots.count(key) != 0;
    rebuild(key);
    moved |= had != (m_slots.count(key) != 0);
  }
  m_dirty.clear();
  if (moved) {
    m_byId.clear();
    for (size_t i = 0; i < m_transcripts.size(); ++i) {
      m_byId.emplace(m_transcripts[i].sessionId, i);
    }
  }
}

void Index::scanProjects() {
  std::string projects = m_dir + "/projects";
  Listing folders = list(AT_FDCWD, projects);
  for (const Entry& folder : folders.entries) {
    if (!folder.dir) {
      continue;
    }
    std::string folderPath = projects + "/" + folder.name;
    Listing files = list(folders.fd(), folder.name);
    for (const Entry& e : files.entries) {
      std::string path = folderPath + "/" + e.name;
      if (e.dir) {
        scanSubagents(folder.name + "/" + e.name, path + "/subagents", files.fd(),
                      e.name + "/subagents", SUBAGENT_DEPTH);
      } else if (endsWith(e.name, ".jsonl")) {
        visit(folder.name + "/" + e.name.substr(0, e.name.size() - 6), path, files.fd(), e.name,
              true);
      }
    }
  }
}

void Index::scanSubagents(const std::string& sessionKey, const std::string& dir, int atFd,
                          const std::string& relative, int depth) {
  Listing files = list(atFd, relative);
  for (const Entry& e : files.entries) {
    std::string path = dir + "/" + e.name;
    if (e.dir && depth > 0) {
      scanSubagents(sessionKey, path, files.fd(), e.name, depth - 1);
    } else if (!e.dir && endsWith(e.name, ".jsonl")) {
      visit(sessionKey, path, files.fd(), e.name, false);
    }
  }
}

void Index::visit(const std::string& sessionKey, const std::string& path, int dirFd,
                  const std::string& name, bool main) {
  struct stat st {};
  if (::fstatat(dirFd, name.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode)) {
    return;
  }
  auto& slot = m_files[FileKey{sessionKey, path}];
  if (!slot) {
    slot = std::make_unique<File>();
    slot->main = main;
    slot->named = main;
    slot->reader =
        std::make_unique<TranscriptReader>(main, main ? "main" : agentName(path), m_preFilter);
    m_dirty.insert(sessionKey);
  }
  File& f = *slot;
  f.seen = m_generation;
  if (f.dev == st.st_dev && f.ino == st.st_ino && f.consumed == st.st_size) {
    return;
  }
  if (!f.named) {
    std::string agent = agentName(path);
    f.named = agent != path.substr(path.rfind('/') + 1, path.size() - path.rfind('/') - 7);
    f.reader->relabel(agent);
  }
  readAppended(path, &f);
  m_dirty.insert(sessionKey);
}

void Index::readAppended(const std::string& path, File* f) {
  platform::UniqueFd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW)};
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return;
  }
  if (st.st_dev != f->dev || st.st_ino != f->ino || st.st_size < f->consumed) {
    std::string agent = f->reader->aggregate().agent;
    f->reader = std::make_unique<TranscriptReader>(f->main, agent, m_preFilter);
    f->dev = st.st_dev;
    f->ino = st.st_ino;
    f->consumed = 0;
  }
  // Only up to the size seen now: bytes written meanwhile are for the next refresh.
  while (f->consumed < st.st_size && std::chrono::steady_clock::now() < m_readUntil) {
    size_t want = std::min(CHUNK, static_cast<size_t>(st.st_size - f->consumed));
    ssize_t n = ::pread(fd.get(), m_buffer.get(), want, f->consumed);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    f->reader->feed(std::string_view(m_buffer.get(), static_cast<size_t>(n)),
                    BUFFER - static_cast<size_t>(n), m_parser);
    f->consumed += n;
    m_bytesRead += static_cast<uint64_t>(n);
  }
  if (f->consumed == st.st_size) {
    f->reader->finish(m_parser);
  }
}

void Index::rebuild(const std::string& key) {
  TranscriptSummary summary;
  bool any = false;
  for (auto it = m_files.lower_bound(FileKey{key, ""});
       it != m_files.end() && it->first.first == key; ++it) {
    any = true;
    mergeInto(&summary, it->second->reader->aggregate());
  }
  summary.sessionId = key.substr(key.rfind('/') + 1);
  auto slot = m_slots.find(key);
  if (!any) {
    if (slot != m_slots.end()) {
      size_t at = slot->second;
      m_slots.erase(slot);
      if (at + 1 != m_transcripts.size()) {
        m_transcripts[at] = std::move(m_transcripts.back());
        m_slotKeys[at] = std::move(m_slotKeys.back());
        m_slots[m_slotKeys[at]] = at;
      }
      m_transcripts.pop_back();
      m_slotKeys.pop_back();
    }
    return;
  }
  if (slot == m_slots.end()) {
    m_slots[key] = m_transcripts.size();
    m_transcripts.push_back(std::move(summary));
    m_slotKeys.push_back(key);
  } else {
    m_transcripts[slot->second] = std::move(summary);
  }
}

}  // namespace claude_files
