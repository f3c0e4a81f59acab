// Leases under contention: 16 client processes, each with its own connection, racing for one
// resource; then a writer killed with SIGKILL mid-stream and every acknowledged grant looked up.

#include "leases/lease_store.h"
#include "testkit/process.h"

#include <atomic>
#include <cstdio>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using testkit::Clock;
constexpr int CLIENTS = 16, ROUNDS = 63, SLOW_OPS = 2000;

struct Shared {
  std::atomic<int> inside{0}, violations{0}, ops{0}, grants{0};
  std::atomic<int64_t> worstMicros{0};
};

leases::Lease leaseFor(const std::string& resource, const std::string& who) {
  return {resource, {who, who, 0, std::nullopt, std::nullopt}, "bench", 1'800'000};
}

void client(const std::string& db, int id, Shared* s) {
  leases::LeaseStore store;
  std::string err;
  if (!store.open(db, &err)) {
    s->violations++;
    return;
  }
  leases::Lease mine = leaseFor("tests", "c" + std::to_string(id));
  for (int i = 0; i < ROUNDS; ++i) {
    auto t0 = Clock::now();
    auto got = store.acquire(mine, 1, &err);
    s->ops++;
    if (got && got->granted) {
      s->grants++;
      s->violations += s->inside.fetch_add(1) != 0;
      s->inside.fetch_sub(1);
      leases::Holder other;
      s->violations +=
          store.release("tests", mine.holder, 1, &other, &err) != leases::Released::Yes;
      s->ops++;
    } else if (!got) {
      s->violations++;
    }
    auto us = static_cast<int64_t>(testkit::secondsSince(t0) * 1e6);
    for (int64_t seen = s->worstMicros;
         us > seen && !s->worstMicros.compare_exchange_weak(seen, us);) {
    }
  }
}

}  // namespace

int main() {
  testkit::TempDir dir;
  std::string db = dir / "companion.db";
  auto* s = new (::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                        -1, 0)) Shared;
  auto t0 = Clock::now();
  for (int c = 0; c < CLIENTS; ++c) {
    if (::fork() == 0) {
      client(db, c, s);
      _exit(0);
    }
  }
  while (::wait(nullptr) > 0) {
  }
  std::printf(
      "%d lease ops from %d processes in %.0f ms: %d grants, %d inconsistencies, worst "
      "acquire %.1f ms\n",
      s->ops.load(), CLIENTS, testkit::secondsSince(t0) * 1000, s->grants.load(),
      s->violations.load(), static_cast<double>(s->worstMicros.load()) / 1000);

  int acks[2];
  if (::pipe(acks) != 0) {
    return 1;
  }
  pid_t writer = ::fork();
  if (writer == 0) {
    leases::LeaseStore store;
    std::string err;
    store.open(db, &err);
    for (int i = 0; i < SLOW_OPS; ++i) {
      if (store.acquire(leaseFor("r" + std::to_string(i), "w"), 1, &err)) {
        (void)!::write(acks[1], &i, sizeof i);
      }
    }
    _exit(0);
  }
  ::close(acks[1]);
  // Killed once a quarter is acknowledged; the grants acknowledged meanwhile count as well.
  int last = -1, got = 0;
  for (; ::read(acks[0], &last, sizeof last) == sizeof last; ++got) {
    if (got == SLOW_OPS / 4) {
      ::kill(writer, SIGKILL);
    }
  }
  ::waitpid(writer, nullptr, 0);
  leases::LeaseStore reopened;
  std::string err;
  reopened.open(db, &err);
  auto live = reopened.live(std::nullopt, 1, &err);
  size_t found = live ? live->size() : 0;
  std::printf("SIGKILL after %d acknowledged grants: %zu found on reopening\n", got, found);
  return found >= static_cast<size_t>(got) ? 0 : 1;
}
