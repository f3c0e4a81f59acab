#include "leases/lease_ops.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace {

using base::Json;
using leases::LeaseStore;

constexpr int64_t NOW = 1'800'000'000'000;

ops::Context callerCtx(const std::string& name, pid_t pid, int64_t now = NOW) {
  std::optional<ops::SessionRef> you;  // none: a caller that is no session
  if (!name.empty()) {
    you = ops::SessionRef{name, "id-" + name, "/w", "w", "", pid, true, ""};
  }
  return {pid, you, {}, {}, {}, "", now, nullptr};
}

class Leases : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    ASSERT_TRUE(store.open(dbPath(), &err)) << err;
  }
  std::string dbPath() const { return home / "companion.db"; }
  Json acquire(const ops::Context& ctx, const std::string& resource, Json ttl = Json()) {
    return leases::opLeaseAcquire(
        {{"resource", resource}, {"reason", "why " + resource}, {"ttl_s", ttl}}, ctx, store);
  }
  cstest::TempHome home;
  LeaseStore store;
};

TEST(LeaseRules, TtlChoices) {
  const std::pair<Json, std::pair<int64_t, bool>> cases[] = {
      {Json(), {300, false}},      {Json("600"), {300, false}}, {Json(0), {300, false}},
      {Json(-20), {300, false}},   {Json(0.5), {300, false}},   {Json(true), {300, false}},
      {Json(1), {1, false}},       {Json(1800), {1800, false}}, {Json(1801), {1800, true}},
      {Json(1e300), {1800, true}},
  };
  for (const auto& [in, want] : cases) {
    SCOPED_TRACE(in.dump());
    leases::Ttl t = leases::ttlFrom(in);
    EXPECT_EQ(want.first, t.seconds);
    EXPECT_EQ(want.second, t.capped);
  }
}

TEST_F(Leases, GrantDenyRenewReleaseAndStatus) {
  auto ann = callerCtx("ann", ::getpid()), bob = callerCtx("bob", ::getpid());
  EXPECT_EQ(R"({"granted":true,"resource":"tests","ttl_s":60,"expires_at":"2027-01-15T08:01:00Z"})",
            acquire(ann, "tests", 60).dump());
  EXPECT_EQ(
      R"({"granted":false,"resource":"tests","holder":"ann","reason":"why tests","expires_in_s":60})",
      acquire(bob, "tests").dump());
  EXPECT_EQ(  // renewed
      R"({"granted":true,"resource":"tests","ttl_s":1800,"expires_at":"2027-01-15T08:30:00Z","ttl_capped":true})",
      acquire(ann, "tests", 5000).dump());
  EXPECT_EQ(R"({"released":false,"resource":"tests","holder":"ann"})",
            leases::opLeaseRelease({{"resource", "tests"}}, bob, store).dump());
  acquire(bob, "build");
  EXPECT_EQ(
      R"({"leases":[{"resource":"build","holder":"bob","reason":"why build","expires_in_s":300,"yours":false},{"resource":"tests","holder":"ann","reason":"why tests","expires_in_s":1800,"yours":true}]})",
      leases::opLeaseStatus({{"op", "lease_status"}}, ann, store).dump());
  EXPECT_EQ(R"({"released":true,"resource":"tests"})",
            leases::opLeaseRelease({{"resource", "tests"}}, ann, store).dump());
  EXPECT_EQ(R"({"released":false,"resource":"tests","error":"not held"})",
            leases::opLeaseRelease({{"resource", "tests"}}, ann, store).dump());
  EXPECT_EQ(R"({"leases":[]})", leases::opLeaseStatus({{"resource", "tests"}}, ann, store).dump());

  const Json bad[] = {{{"reason", "x"}},
                      {{"resource", ""}, {"reason", "x"}},
                      {{"resource", 7}, {"reason", "x"}},
                      {{"resource", "r"}},
                      Json::array()};
  for (const Json& req : bad) {
    EXPECT_TRUE(leases::opLeaseAcquire(req, ann, store).contains("error")) << req.dump();
  }
}

TEST_F(Leases, EndsAtTtlWhenTheHolderDiesAndSurvivesReopening) {
  auto ann = callerCtx("ann", ::getpid());
  acquire(ann, "tests", 10);
  EXPECT_EQ(false, acquire(callerCtx("bob", ::getpid(), NOW + 9'999), "tests")["granted"]);
  EXPECT_EQ(true, acquire(callerCtx("bob", ::getpid(), NOW + 10'000), "tests")["granted"]);

  auto cat = cstest::Child::spawn({"/bin/cat"}, {});  // lives until its input closes
  pid_t child = cat->pid();
  EXPECT_EQ(true, acquire(callerCtx("", child), "port:8787")["granted"]);
  EXPECT_EQ("pid " + std::to_string(child),
            acquire(callerCtx("cat", ::getpid()), "port:8787")["holder"]);
  {
    LeaseStore reopened;  // as a restarted companion would
    std::string err;
    ASSERT_TRUE(reopened.open(dbPath(), &err));
    EXPECT_EQ(1u,
              leases::opLeaseStatus({{"resource", "port:8787"}}, ann, reopened)["leases"].size());
  }
  cat->closeInput();
  EXPECT_EQ(0, cat->wait());
  EXPECT_EQ(true, acquire(callerCtx("cat", ::getpid()), "port:8787")["granted"]);
  // A caller that cannot be looked at is held by time alone, and is not every other such caller.
  EXPECT_TRUE(leases::holderAlive(leases::holderOf("", "", child)));
  EXPECT_FALSE(
      leases::sameHolder(leases::holderOf("", "", child), leases::holderOf("", "", 1 << 30)));

  // A pid that now runs another process does not keep the lease.
  leases::Holder me = leases::holderOf("me", "", ::getpid());
  ASSERT_TRUE(me.startTicks || me.startedAtMillis);
  EXPECT_TRUE(leases::holderAlive(me));
  me.startTicks = me.startTicks.value_or(0) + 1;
  me.startedAtMillis = me.startedAtMillis.value_or(0) + 1;
  EXPECT_FALSE(leases::holderAlive(me));
}

// 4 processes of 4 threads, each thread its own connection: one holder at a time throughout.
TEST_F(Leases, RacingClientsNeverShareOneResource) {
  constexpr int PROCS = 4, THREADS = 4, ROUNDS = 64;
  struct Shared {
    std::atomic<int> inside, violations, grants;
  };
  void* map =
      ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, map);
  Shared& sh = *new (map) Shared{};
  EXPECT_TRUE(cstest::inChildren(PROCS, [&](int p) {
    std::vector<std::jthread> threads;
    for (int t = 0; t < THREADS; ++t) {
      threads.emplace_back([&, t] {
        LeaseStore own;
        std::string err;
        if (!own.open(dbPath(), &err)) {
          sh.violations++;
          return;
        }
        auto ctx = callerCtx("s" + std::to_string(p) + "-" + std::to_string(t), ::getpid());
        for (int i = 0; i < ROUNDS; ++i) {
          Json got = leases::opLeaseAcquire({{"resource", "tests"}, {"reason", "race"}}, ctx, own);
          if (got.value("granted", false)) {
            sh.grants++;
            sh.violations += sh.inside.fetch_add(1) != 0;
            sh.inside.fetch_sub(1);
            sh.violations +=
                !leases::opLeaseRelease({{"resource", "tests"}}, ctx, own)["released"].get<bool>();
          } else if (!got.contains("holder")) {
            sh.violations++;
          }
        }
      });
    }
    return true;
  }));
  EXPECT_GT(sh.grants.load(), 0);
  EXPECT_EQ(0, sh.violations.load());
  ::munmap(map, sizeof(Shared));
}

}  // namespace
