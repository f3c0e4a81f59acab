#include "claude_files/file_read.h"

#include "platform/platform.h"
#include "platform/unique_fd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <simdjson.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace claude_files {
namespace {

constexpr size_t CHUNK = size_t{1} << 20;
constexpr size_t BUFFER = CHUNK + simdjson::SIMDJSON_PADDING;
constexpr int64_t TAIL = 4096;
// Below this much to read, starting threads costs more than it saves.
constexpr int64_t PARALLEL_FROM = int64_t{8} << 20;
constexpr size_t CUT_WINDOW = size_t{64} << 10;

platform::UniqueFd openRegular(const std::string& path, struct stat* st) {
  platform::UniqueFd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW)};
  if (!fd || ::fstat(fd.get(), st) != 0 || !S_ISREG(st->st_mode)) {
    return platform::UniqueFd{};
  }
  return fd;
}

uint64_t hashBefore(int fd, int64_t counted) {
  char buf[TAIL];
  int64_t from = std::max<int64_t>(0, counted - TAIL);
  size_t want = static_cast<size_t>(counted - from);
  ssize_t n = want == 0 ? 0 : ::pread(fd, buf, want, from);
  return tailHash(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// This thread's processor time: a read's bound, which other programs' load does not shorten as it
// would a bound in wall time (and a question's sums then stop short).
std::chrono::nanoseconds threadTime() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// The file opened for reading; its reader starts again when the file was replaced or shrank.
struct Opened {
  platform::UniqueFd fd;
  struct stat st {};
};

bool openFor(const std::string& path, FileState* f, bool preFilter, Opened* o) {
  o->fd = openRegular(path, &o->st);
  if (!o->fd) {
    return false;
  }
  uint64_t dev = static_cast<uint64_t>(o->st.st_dev), ino = static_cast<uint64_t>(o->st.st_ino);
  if (!f->reader || dev != f->read.dev || ino != f->read.ino || o->st.st_size < f->consumed) {
    f->reader = std::make_unique<TranscriptReader>(f->main, f->agent, preFilter);
    f->consumed = 0;
  }
  return true;
}

// Feeds the bytes from `from` up to `to` to `reader`: where it stopped, short of `to` when the
// budget ran out or the file shrank meanwhile.
int64_t feedRange(int fd, TranscriptReader& reader, int64_t from, int64_t to, FileReader& r,
                  std::chrono::nanoseconds until) {
  while (from < to && threadTime() < until) {
    size_t want = std::min(CHUNK, static_cast<size_t>(to - from));
    ssize_t n = ::pread(fd, r.buffer.get(), want, from);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    reader.feed(std::string_view(r.buffer.get(), static_cast<size_t>(n)),
                BUFFER - static_cast<size_t>(n), r.parser);
    from += n;
  }
  return from;
}

// What the file's state keeps of the bytes fed up to f->consumed.
void settle(FileState* f, const Opened& o, LineParser& parser) {
  f->sizeAtRead = o.st.st_size;
  if (f->consumed == o.st.st_size) {
    f->reader->finish(parser);
  }
  f->read = FileStamp{static_cast<uint64_t>(o.st.st_dev),
                      static_cast<uint64_t>(o.st.st_ino),
                      f->consumed,
                      platform::modifiedNanos(o.st),
                      0,
                      0};
  std::optional<size_t> pending = f->reader->unapplied();
  f->persistable = pending.has_value();
  if (pending) {
    f->read.counted = f->consumed - static_cast<int64_t>(*pending);
    f->read.tail = hashBefore(o.fd.get(), f->read.counted);
  }
}

uint64_t readOne(const std::string& path, FileState* f, FileReader& r, bool preFilter,
                 std::chrono::nanoseconds until) {
  Opened o;
  if (!openFor(path, f, preFilter, &o)) {
    return 0;
  }
  // Only up to the size seen now: bytes written meanwhile are for the next refresh.
  int64_t from = f->consumed;
  f->consumed = feedRange(o.fd.get(), *f->reader, from, o.st.st_size, r, until);
  settle(f, o, r.parser);
  return static_cast<uint64_t>(f->consumed - from);
}

// Where the line after the first line feed at or after `at` starts, or -1 when none does before
// `to` within a line's longest.
int64_t nextLineStart(int fd, int64_t at, int64_t to, char* buf) {
  for (int64_t end = std::min(to, at + static_cast<int64_t>(MAX_LINE)); at < end;) {
    ssize_t n = ::pread(fd, buf, std::min(CUT_WINDOW, static_cast<size_t>(end - at)), at);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return -1;
    }
    if (const void* nl = std::memchr(buf, '\n', static_cast<size_t>(n)); nl != nullptr) {
      return at + (static_cast<const char*>(nl) - buf) + 1;
    }
    at += n;
  }
  return -1;
}

// One large file read in parts at once, each cut at a line's start: the first part by the
// file's own reader, each other by a reader of its own, joined in order once all are read.
struct Split {
  ReadJob* job = nullptr;
  Opened file;
  std::vector<int64_t> cuts;                               // where each part starts, then the end
  std::vector<std::unique_ptr<TranscriptReader>> readers;  // the first one unused
  std::vector<int64_t> reached;
};

bool cut(ReadJob& job, size_t parts, bool preFilter, char* buf, Split* sp) {
  FileState* f = job.state;
  if (!openFor(*job.path, f, preFilter, &sp->file)) {
    return false;
  }
  int64_t from = f->consumed, to = sp->file.st.st_size;
  sp->cuts = {from};
  for (size_t k = 1; k < parts; ++k) {
    int64_t at =
        nextLineStart(sp->file.fd.get(),
                      std::max(sp->cuts.back(), from + (to - from) / static_cast<int64_t>(parts) *
                                                           static_cast<int64_t>(k)),
                      to, buf);
    if (at > sp->cuts.back() && at < to) {
      sp->cuts.push_back(at);
    }
  }
  sp->cuts.push_back(to);
  sp->job = &job;
  sp->reached.assign(sp->cuts.size() - 1, 0);
  sp->readers.resize(sp->cuts.size() - 1);
  for (size_t k = 1; k < sp->readers.size(); ++k) {
    sp->readers[k] = TranscriptReader::laterPart(f->main, f->agent, preFilter);
  }
  return sp->cuts.size() > 2;
}

// Joins the parts in order. A part that cannot be joined is read again after the one before it;
// parts after one cut short by the budget wait for the next refresh.
uint64_t join(Split& sp, FileReader& r, std::chrono::nanoseconds budget) {
  FileState* f = sp.job->state;
  std::chrono::nanoseconds until = threadTime() + budget;
  int64_t at = sp.reached[0];
  uint64_t again = 0;
  for (size_t k = 1; k < sp.readers.size() && at == sp.cuts[k]; ++k) {
    if (f->reader->join(*sp.readers[k])) {
      at = sp.reached[k];
    } else {
      at = feedRange(sp.file.fd.get(), *f->reader, at, sp.cuts[k + 1], r, until);
      again += static_cast<uint64_t>(at - sp.cuts[k]);
    }
  }
  f->consumed = at;
  settle(f, sp.file, r.parser);
  return again;
}

}  // namespace

void FileState::relabel(const std::string& name) {
  agent = name;
  if (reader) {
    reader->relabel(name);
  }
}

void FileState::adopt(FileAggregate agg, const FileStamp& stamp, bool preFilter) {
  agent = agg.agent;
  reader = std::make_unique<TranscriptReader>(std::move(agg), preFilter);
  read = stamp;
  consumed = stamp.counted;
  persistable = true;
}

FileReader::FileReader() : buffer(new char[BUFFER]) {}

uint64_t readAll(std::vector<ReadJob>& jobs, FileReader& own, unsigned threads, bool preFilter,
                 std::chrono::nanoseconds budget) {
  std::sort(jobs.begin(), jobs.end(),
            [](const ReadJob& a, const ReadJob& b) { return a.bytes > b.bytes; });
  int64_t expected = 0;
  for (const ReadJob& j : jobs) {
    expected += std::max<int64_t>(0, j.bytes);
  }
  int64_t workers = expected < PARALLEL_FROM ? 1 : std::max<int64_t>(1, threads);
  // A file larger than a thread's share would keep the others waiting: it is read in parts.
  struct Unit {
    ReadJob* whole;
    Split* split;
    size_t part;
  };
  std::vector<Unit> units;
  std::deque<Split> splits;
  for (ReadJob& j : jobs) {
    int64_t parts = workers > 1 && j.bytes >= PARALLEL_FROM
                        ? std::min(workers, (j.bytes * workers + expected - 1) / expected)
                        : 1;
    if (parts > 1 &&
        cut(j, static_cast<size_t>(parts), preFilter, own.buffer.get(), &splits.emplace_back())) {
      for (size_t k = 0; k < splits.back().readers.size(); ++k) {
        units.push_back(Unit{nullptr, &splits.back(), k});
      }
    } else {
      if (parts > 1) {
        splits.pop_back();
      }
      units.push_back(Unit{&j, nullptr, 0});
    }
  }
  size_t helpers = units.empty() ? 0 : std::min<size_t>(workers - 1, units.size() - 1);
  std::atomic<size_t> next{0};
  std::atomic<uint64_t> total{0};
  auto work = [&](FileReader& r) {
    std::chrono::nanoseconds until = threadTime() + budget;
    for (size_t i = next++; i < units.size(); i = next++) {
      const Unit& u = units[i];
      if (u.whole != nullptr) {
        total += readOne(*u.whole->path, u.whole->state, r, preFilter, until);
        continue;
      }
      Split& sp = *u.split;
      TranscriptReader& reader = u.part == 0 ? *sp.job->state->reader : *sp.readers[u.part];
      int64_t from = sp.cuts[u.part];
      sp.reached[u.part] = feedRange(sp.file.fd.get(), reader, from, sp.cuts[u.part + 1], r, until);
      total += static_cast<uint64_t>(sp.reached[u.part] - from);
    }
  };
  std::vector<std::thread> pool;
  for (size_t i = 0; i < helpers; ++i) {
    pool.emplace_back([&work] {
      FileReader r;
      work(r);
    });
  }
  work(own);
  for (std::thread& t : pool) {
    t.join();
  }
  for (Split& sp : splits) {
    total += join(sp, own, budget);
  }
  if (helpers > 0) {
    platform::releaseFreeMemory();
  }
  return total.load();
}

bool tailMatches(const std::string& path, int64_t counted, uint64_t tail) {
  struct stat st {};
  platform::UniqueFd fd = openRegular(path, &st);
  return fd && st.st_size >= counted && hashBefore(fd.get(), counted) == tail;
}

}  // namespace claude_files
