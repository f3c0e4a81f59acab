#include "claude_files/file_read.h"

#include "platform/platform.h"
#include "platform/unique_fd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
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

uint64_t readOne(const std::string& path, FileState* f, FileReader& r, bool preFilter,
                 std::chrono::nanoseconds until) {
  struct stat st {};
  platform::UniqueFd fd = openRegular(path, &st);
  if (!fd) {
    return 0;
  }
  uint64_t dev = static_cast<uint64_t>(st.st_dev), ino = static_cast<uint64_t>(st.st_ino);
  if (!f->reader || dev != f->read.dev || ino != f->read.ino || st.st_size < f->consumed) {
    f->reader = std::make_unique<TranscriptReader>(f->main, f->agent, preFilter);
    f->consumed = 0;
  }
  uint64_t total = 0;
  // Only up to the size seen now: bytes written meanwhile are for the next refresh.
  while (f->consumed < st.st_size && threadTime() < until) {
    size_t want = std::min(CHUNK, static_cast<size_t>(st.st_size - f->consumed));
    ssize_t n = ::pread(fd.get(), r.buffer.get(), want, f->consumed);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    f->reader->feed(std::string_view(r.buffer.get(), static_cast<size_t>(n)),
                    BUFFER - static_cast<size_t>(n), r.parser);
    f->consumed += n;
    total += static_cast<uint64_t>(n);
  }
  f->sizeAtRead = st.st_size;
  if (f->consumed == st.st_size) {
    f->reader->finish(r.parser);
  }
  f->read = FileStamp{dev, ino, f->consumed, platform::modifiedNanos(st), 0, 0};
  std::optional<size_t> pending = f->reader->unapplied();
  f->persistable = pending.has_value();
  if (pending) {
    f->read.counted = f->consumed - static_cast<int64_t>(*pending);
    f->read.tail = hashBefore(fd.get(), f->read.counted);
  }
  return total;
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
  size_t helpers = expected < PARALLEL_FROM
                       ? 0
                       : std::min<size_t>(threads > 0 ? threads - 1 : 0, jobs.size() - 1);
  std::atomic<size_t> next{0};
  std::atomic<uint64_t> total{0};
  auto work = [&](FileReader& r) {
    std::chrono::nanoseconds until = threadTime() + budget;
    for (size_t i = next++; i < jobs.size(); i = next++) {
      total += readOne(*jobs[i].path, jobs[i].state, r, preFilter, until);
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
