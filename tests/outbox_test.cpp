// The writer of standard output: lines whole and in order, each push answered exactly once,
// whatever the descriptor takes at a time, and every waiting push answered when it fails.

#include "outbox/outbox.h"

#include "outbox/lines.h"
#include "platform/posix.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using outbox::Delivery;

// A pipe whose ends block unless asked.
void openPipe(platform::UniqueFd* in, platform::UniqueFd* out, bool nonBlocking = false) {
  ASSERT_TRUE(platform::makePipe(in, out));
  ::fcntl(in->get(), F_SETFL, 0);
  ::fcntl(out->get(), F_SETFL, nonBlocking ? O_NONBLOCK : 0);
}

// Everything until end of file, read on a thread.
std::future<std::string> drain(int fd) {
  return std::async(std::launch::async, [fd] {
    std::string all;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) {
      all.append(buf, static_cast<size_t>(n));
    }
    return all;
  });
}

std::string numbered(const char* kind, size_t i, size_t size) {
  std::string line = kind + std::to_string(i) + " ";
  return line + std::string(size - line.size() - 1, 'x') + "\n";
}

TEST(WriteLines, EveryLineWholeOnceAndInOrderAcrossShortWrites) {
  ::signal(SIGPIPE, SIG_IGN);
  struct Case {
    const char* name;
    size_t count, size, into;
    bool nonBlocking;
  } cases[] = {{"more lines than one writev takes", 3000, 20, 0, false},
               {"lines over a pipe's size, short writes and EAGAIN", 6, 300000, 0, true},
               {"the first line resumed inside", 3, 100, 40, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::UniqueFd in, out;
    openPipe(&in, &out, c.nonBlocking);
    std::vector<std::string> lines;
    std::string want;
    for (size_t i = 0; i < c.count; ++i) {
      lines.push_back(numbered("l", i, c.size));
      want += i == 0 ? lines[i].substr(c.into) : lines[i];
    }
    std::vector<std::string_view> views(lines.begin(), lines.end());
    auto got = drain(in.get());
    size_t whole = 0;  // lines reported whole, each in its turn
    EXPECT_EQ(c.count, outbox::writeLines(out.get(), views, c.into,
                                          [&](size_t i) { EXPECT_EQ(whole++, i); }));
    out.reset();
    EXPECT_TRUE(got.get() == want);
    EXPECT_EQ(c.count, whole);
  }
  platform::UniqueFd in, out;
  openPipe(&in, &out);
  in.reset();
  std::string_view one = "lost\n";
  EXPECT_EQ(0u, outbox::writeLines(out.get(), {&one, 1}, 0, [](size_t) { ADD_FAILURE(); }));
}

// A 1 MiB answer that nobody reads yet holds the writer; as many pushes as may wait queue behind.
TEST(Outbox, WaitingPushesAreAnsweredOnceInOrderOrAllGoneWhenTheWriteFails) {
  ::signal(SIGPIPE, SIG_IGN);
  auto refusal = [](std::optional<Delivery> how) { return how.value_or(Delivery::Written); };
  for (bool readerCloses : {false, true}) {
    SCOPED_TRACE(readerCloses ? "reader closes" : "reader drains");
    platform::UniqueFd in, out;
    openPipe(&in, &out);
    std::future<std::string> got;
    std::atomic<int> gone{0};
    std::atomic<size_t> count{0};
    const Delivery fate = readerCloses ? Delivery::Gone : Delivery::Written;
    size_t accepted = 0;
    std::string want = std::string(1 << 20, 'a') + "\n";
    {
      outbox::Outbox box(out.get());
      box.start([&] { ++gone; });
      box.markReady();
      box.answer(want);
      // Those the writer took already are no longer held: the queue fills up after them.
      std::optional<Delivery> refused;
      for (size_t i = 0; !refused && i < 3 * outbox::MAX_HELD_PUSHES; ++i) {
        refused = box.notify(numbered("p", i, 64), [&, i](Delivery how) {
          EXPECT_EQ(std::pair(count++, fate), std::pair(i, how));
        });
        want += refused ? "" : numbered("p", i, 64);
        accepted += refused ? 0 : 1;
      }
      EXPECT_EQ(Delivery::Busy, refusal(refused));
      if (readerCloses) {
        in.reset();
      } else {
        got = drain(in.get());
      }
      for (int i = 0; i < 500 && count < accepted; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      EXPECT_EQ(fate, refusal(box.notify("late\n", [](Delivery) {})));
      box.close(std::chrono::seconds(5));
    }
    EXPECT_LE(outbox::MAX_HELD_PUSHES, accepted);
    EXPECT_EQ(accepted, count.load());
    EXPECT_EQ(readerCloses ? 1 : 0, gone.load());
    out.reset();
    if (!readerCloses) {
      EXPECT_TRUE(got.get() == want + "late\n");
    }
  }
}

}  // namespace

// Threads that push and answer at once, some lines bigger than the pipe: a thread that writes
// directly takes over what queued behind it. Every line arrives whole, once, in each thread's
// order, and every push is answered Written once.
TEST(Outbox, ConcurrentWritersKeepEachLineWholeOnceAndInOrder) {
  constexpr size_t THREADS = 4, EACH = 300;
  platform::UniqueFd in, out;
  openPipe(&in, &out, true);
  std::future<std::string> got = drain(in.get());
  std::atomic<size_t> written{0};
  {
    outbox::Outbox box(out.get());
    box.start([] {});
    box.markReady();
    std::vector<std::jthread> threads;
    for (size_t t = 0; t < THREADS; ++t) {
      threads.emplace_back([&, t] {
        std::string kind = "t" + std::to_string(t) + "-";
        for (size_t i = 0; i < EACH; ++i) {
          std::string line = numbered(kind.c_str(), i, i % 50 == 7 ? 100000 : 64);
          if (t == 0) {
            box.answer(line);
            continue;
          }
          while (box.notify(line, [&](Delivery how) { written += how == Delivery::Written; })) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        }
      });
    }
    threads.clear();  // joined
    box.close(std::chrono::seconds(10));
  }
  out.reset();
  std::string all = got.get();
  std::vector<size_t> next(THREADS, 0);
  for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
    size_t t = std::stoul(all.substr(at + 1));
    size_t i = std::stoul(all.substr(all.find('-', at) + 1));
    ASSERT_EQ(numbered(("t" + std::to_string(t) + "-").c_str(), i, end + 1 - at),
              all.substr(at, end + 1 - at));
    ASSERT_EQ(next[t]++, i) << "thread " << t;
  }
  EXPECT_EQ(std::vector<size_t>(THREADS, EACH), next);
  EXPECT_EQ((THREADS - 1) * EACH, written.load());
}
