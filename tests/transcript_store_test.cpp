// What a question reads, what a restart reads again, the folder watch, and the shared snapshot.

#include "claude_files/aggregate_codec.h"
#include "claude_files/folders.h"
#include "claude_files/index.h"
#include "claude_files/summary_store.h"
#include "claude_files/transcript.h"
#include "companion/live_data.h"
#include "platform/files.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sqlite3.h>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace claude_files;

const std::string SID = "11111111-aaaa-4bbb-8ccc-000000000001";
const std::string OTHER = "22222222-0000-4000-8000-000000000002";

class TranscriptStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy(CS_TESTS_DIR "/fixtures/claude", dir(), fs::copy_options::recursive);
    fs::create_directories(dir() + "/projects/-home-u-lib");
    write(other(), line("lib work"), false);
  }
  std::string dir() const { return m_home.path() + "/claude"; }
  std::string main() const { return dir() + "/projects/-home-u-app/" + SID + ".jsonl"; }
  std::string other() const { return dir() + "/projects/-home-u-lib/" + OTHER + ".jsonl"; }
  std::string storePath() const { return m_home.path() + "/transcripts.db"; }
  static std::string line(const std::string& prompt) {
    return R"({"type":"user","cwd":"/home/u/lib","message":{"role":"user","content":")" + prompt +
           "\"}}\n";
  }
  static void write(const std::string& path, const std::string& bytes, bool append) {
    std::ofstream(path, append ? std::ios::app : std::ios::trunc) << bytes;
  }
  static void save(Index& idx, SummaryStore& store) {
    std::vector<std::string> gone;
    auto rows = idx.unsaved(&gone);
    ASSERT_TRUE(store.write(rows, gone));
  }
  static TranscriptSummary summary(const Index& idx, const std::string& id) {
    auto found = idx.findTranscript(id);
    return found ? *found : TranscriptSummary{};
  }
  cstest::TempHome m_home;
};

TEST_F(TranscriptStoreTest, ARestartReadsOnlyWhatChanged) {
  std::string bytes = *platform::readFile(main());
  std::string firstLine = bytes.substr(0, bytes.find('\n') + 1);
  std::string same = bytes;
  same[same.rfind("test")] = 'b';  // as long, other bytes
  struct Case {
    const char* what;
    std::function<void()> change;
    uint64_t read;    // bytes of the main transcript read again
    size_t restored;  // files taken from the store, of 4
  };
  const Case cases[] = {
      {"unchanged", [] {}, 0, 4},
      {"appended", [&] { write(main(), firstLine, true); }, firstLine.size(), 4},
      {"truncated", [&] { write(main(), firstLine, false); }, firstLine.size(), 3},
      {"rewritten in place, same size", [&] { write(main(), same, false); }, same.size(), 3},
      {"replaced, same size",
       [&] {
         write(main() + ".new", same, false);
         fs::rename(main() + ".new", main());
       },
       same.size(), 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write(main(), bytes, false);
    fs::remove(storePath());
    std::string note;
    auto store = SummaryStore::open(storePath(), &note);
    ASSERT_TRUE(store) << note;
    Index before(dir(), IndexOptions{true, store.get(), true, 0});
    before.refresh();
    save(before, *store);
    c.change();
    Index after(dir(), IndexOptions{true, store.get(), true, 0});
    after.refresh();
    EXPECT_EQ(after.bytesReadLastRefresh(), c.read);
    EXPECT_EQ(after.filesRestoredLastRefresh(), c.restored);
    Index fresh(dir());
    fresh.refresh();
    EXPECT_EQ(summary(after, SID), summary(fresh, SID));
  }
}

TEST_F(TranscriptStoreTest, ADamagedOrForeignStoreIsSetAsideAndRebuilt) {
  const std::function<void()> plant[] = {
      [&] { write(storePath(), std::string(8192, 'x'), false); },
      [&] {
        sqlite3* db = nullptr;
        sqlite3_open(storePath().c_str(), &db);
        sqlite3_exec(db, "PRAGMA user_version=999", nullptr, nullptr, nullptr);
        sqlite3_close(db);
      },
  };
  for (const auto& damage : plant) {
    fs::remove(storePath());
    fs::remove(storePath() + ".damaged");
    damage();
    std::string note;
    auto store = SummaryStore::open(storePath(), &note);
    ASSERT_TRUE(store);
    EXPECT_NE(note, "");
    EXPECT_TRUE(fs::exists(storePath() + ".damaged"));
    Index idx(dir(), IndexOptions{true, store.get(), true, 0});
    idx.refresh();
    save(idx, *store);
    EXPECT_EQ(store->stamps().size(), 4u);
  }
}

TEST_F(TranscriptStoreTest, AQuestionReadsOnlyTheFilesItNeeds) {
  fs::last_write_time(other(), fs::file_time_type::clock::now() - std::chrono::hours(24 * 8));
  Index idx(dir());
  idx.refresh(Need{false, -1, {SID.substr(0, 8)}});
  uint64_t sessionBytes = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir() + "/projects/-home-u-app")) {
    sessionBytes += e.path().extension() == ".jsonl" ? fs::file_size(e.path()) : 0;
  }
  EXPECT_EQ(idx.bytesReadLastRefresh(), sessionBytes);
  EXPECT_FALSE(idx.findTranscript(OTHER));
  EXPECT_EQ(idx.sessionsKnown(), 1u);  // no look at every folder yet

  // A list reads the week's files only; older ones are counted, never read.
  auto now = std::chrono::system_clock::now().time_since_epoch();
  int64_t weekAgo =
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count() - 7LL * 24 * 3600 * 1000;
  idx.refresh(Need{false, weekAgo, {}});
  EXPECT_EQ(idx.bytesReadLastRefresh(), 0u);
  EXPECT_FALSE(idx.findTranscript(OTHER));
  idx.refresh(Need{false, -1, {OTHER}});
  EXPECT_EQ(summary(idx, OTHER).latestPrompt, "lib work");
}

TEST_F(TranscriptStoreTest, AQuestionByIdLooksOnlyWhereItsFilesCanBe) {
  std::string live = dir() + "/sessions/" + std::to_string(::getpid()) + ".json";
  fs::create_directories(dir() + "/sessions");
  // Asked, read, files looked at (a whole id once in each project folder); "": none but the live.
  const std::tuple<std::string, std::vector<std::string>, uint64_t> cases[] = {
      {SID, {SID}, 2 + 2}, {SID.substr(0, 8), {SID}, 1 + 2},
      {OTHER, {OTHER}, 2}, {"../-home-u-lib/" + OTHER, {}, 0},
      {"", {OTHER}, 2},
  };
  Index everything(dir());
  everything.refresh();
  for (const auto& [key, read, looked] : cases) {
    SCOPED_TRACE(key);
    write(live, key.empty() ? R"({"sessionId":")" + OTHER + "\"}" : "", false);
    Index idx(dir());
    idx.refresh(Need{false, -1, {key}});
    EXPECT_EQ(idx.filesLookedAtLastRefresh(), looked);
    EXPECT_EQ(idx.transcripts().size(), read.size());
    for (const std::string& id : read) {
      EXPECT_EQ(summary(idx, id), summary(everything, id)) << id;
    }
  }
  // Changed before the first full look: each question looks again at what was read.
  Index idx(dir());
  idx.refresh(Need{false, -1, {SID}});
  write(main(), line("later"), true);
  fs::remove_all(dir() + "/projects/-home-u-app/" + SID);  // its subagents
  idx.refresh(Need{false, -1, {OTHER}});
  EXPECT_FALSE(idx.walked());
  Index fresh(dir());
  fresh.refresh();
  EXPECT_EQ(summary(idx, SID), summary(fresh, SID));
}

TEST_F(TranscriptStoreTest, TheWatchSeesAnAppendWithoutLookingAtEveryFile) {
  Index watched(dir()), polled(dir(), IndexOptions{true, nullptr, false, 0});
  for (Index* idx : {&watched, &polled}) {
    idx->refresh();
  }
  ASSERT_TRUE(watched.watching());
  write(other(), line("more lib work"), true);
  for (Index* idx : {&watched, &polled}) {
    idx->refresh();
    EXPECT_EQ(idx->bytesReadLastRefresh(), line("more lib work").size());
    EXPECT_EQ(summary(*idx, OTHER).latestPrompt, "more lib work");
  }
  EXPECT_EQ(watched.filesLookedAtLastRefresh(), 1u);
  EXPECT_EQ(polled.filesLookedAtLastRefresh(), 4u);

  // A new session's folder and file appear.
  fs::create_directories(dir() + "/projects/-home-u-new");
  write(dir() + "/projects/-home-u-new/33333333-0000-4000-8000-000000000003.jsonl", line("new"),
        false);
  watched.refresh();
  EXPECT_EQ(summary(watched, "33333333-0000-4000-8000-000000000003").latestPrompt, "new");
}

TEST_F(TranscriptStoreTest, AStoredAggregateGoesOnCountingAsTheReaderWould) {
  std::string bytes = *platform::readFile(main());
  LineParser parser;
  TranscriptReader whole(true, "main");
  whole.feed(bytes, 0, parser);
  whole.finish(parser);
  // Stopped halfway, kept, taken back, fed the rest: the same as one reader throughout, answers
  // already counted included (the fixture repeats an answer's usage over its lines).
  size_t cut = bytes.size() / 2;
  cut = bytes.rfind('\n', cut) + 1;
  TranscriptReader first(true, "main");
  first.feed(bytes.substr(0, cut), 0, parser);
  auto kept = decodeAggregate(encodeAggregate(first.aggregate()));
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->summary, first.aggregate().summary);
  EXPECT_FALSE(kept->summary.recentUsage.empty());  // the status line's sums survive a restart
  EXPECT_EQ(kept->newestMinute, first.aggregate().newestMinute);
  TranscriptReader resumed(std::move(*kept));
  resumed.feed(bytes.substr(cut), 0, parser);
  resumed.finish(parser);
  EXPECT_EQ(resumed.aggregate().summary, whole.aggregate().summary);
  // Cut short anywhere, or not ours at all, it is no aggregate.
  std::string stored = encodeAggregate(first.aggregate());
  for (size_t n = 0; n < stored.size(); n += 3) {
    EXPECT_FALSE(decodeAggregate(stored.substr(0, n))) << n;
  }
  EXPECT_FALSE(decodeAggregate("not ours"));
}

TEST(TranscriptPlaces, FromThePathAlone) {
  const std::pair<const char*, std::optional<TranscriptPlace>> cases[] = {
      {"-w-app/s1.jsonl", TranscriptPlace{"-w-app/s1", true}},
      {"-w-app/s1/subagents/agent-a.jsonl", TranscriptPlace{"-w-app/s1", false}},
      {"-w-app/s1/subagents/deep/agent-b.jsonl", TranscriptPlace{"-w-app/s1", false}},
      {"-w-app/s1/other/agent-a.jsonl", std::nullopt},
      {"-w-app/s1.json", std::nullopt},
      {"s1.jsonl", std::nullopt},
  };
  for (const auto& [path, want] : cases) {
    auto got = placeOf(path);
    EXPECT_EQ(got.has_value(), want.has_value()) << path;
    if (got && want) {
      EXPECT_EQ(std::pair(got->sessionKey, got->main), std::pair(want->sessionKey, want->main))
          << path;
    }
  }
}

TEST(TranscriptPlaces, WholeSessionIds) {
  EXPECT_TRUE(isSessionId(SID));
  for (std::string no : {SID.substr(0, 35), SID + "0", SID.substr(0, 8) + "+" + SID.substr(9),
                         "g" + SID.substr(1)}) {
    EXPECT_FALSE(isSessionId(no)) << no;
  }
}

TEST(LiveDataTest, WhatARequestNeedsRead) {
  const int64_t now = 1'800'000'000'000, week = 7LL * 24 * 3600 * 1000;
  const std::tuple<ops::Json, int64_t, std::vector<std::string>> cases[] = {
      {{{"op", "list"}}, now - week, {}},
      {{{"op", "cost"}, {"name", "1111aaaa"}}, -1, {"1111aaaa"}},
      {{{"op", "cost"}, {"name", "abc"}}, -1, {}},  // too short to read sessions by id
      {{{"op", "user_scratchpad"}, {"session", "fix-login"}}, now - week, {"fix-login"}},
      {{{"op", "cost"}, {"name", 12345}}, -1, {}},
      {{{"op", "lease_status"}}, -1, {}},
      {{{"op", "statusline"}, {"session_id", "2222bbbb"}}, now - week, {"2222bbbb"}},
  };
  for (const auto& [request, since, prefixes] : cases) {
    Need need = companion::needOf(request, now);
    EXPECT_EQ(need.modifiedSinceMillis, since) << request;
    EXPECT_EQ(need.idPrefixes, prefixes) << request;
  }
}

TEST(LiveDataTest, TheFirstQuestionByIdWaitsForNoWalk) {
  cstest::TempHome home;
  ::setenv("HOME", home.path().c_str(), 1);
  ::unsetenv("CLAUDE_CONFIG_DIR");
  fs::create_directories(home.path() + "/.corvane");
  fs::create_directories(home.path() + "/.claude/projects/-w-lib");
  fs::copy(CS_TESTS_DIR "/fixtures/claude", home.path() + "/.claude", fs::copy_options::recursive);
  std::ofstream(home.path() + "/.claude/projects/-w-lib/" + OTHER + ".jsonl") << "{}\n";
  companion::LiveData data(home.path() + "/.corvane");
  auto known = [&] {
    return data.with({{"op", "cost"}, {"name", SID}},
                     [](const ops::SessionData& d) { return d.sessionsKnown; });
  };
  EXPECT_EQ(known(), 1u);
  // Every folder is looked at after the answer, on the keeper's thread.
  ops::Json later;
  for (int i = 0; i < 20 && later != 2u; ++i) {
    std::this_thread::sleep_for(companion::REFRESH_EVERY + std::chrono::milliseconds(20));
    later = known();
  }
  EXPECT_EQ(later, 2u);
}

TEST(LiveDataTest, AnOpThatWaitsHoldsUpNobody) {
  cstest::TempHome home;
  ::setenv("HOME", home.path().c_str(), 1);
  ::unsetenv("CLAUDE_CONFIG_DIR");
  fs::create_directories(home.path() + "/.corvane");
  companion::LiveData data(home.path() + "/.corvane");
  std::atomic<bool> waiting{false};
  std::thread slow([&] {
    data.with({{"op", "list"}}, [&](const ops::SessionData&) {
      waiting = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      return ops::Json();
    });
  });
  for (int i = 0; i < 500 && !waiting; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  // Past the snapshot's age, so this one refreshes while the other op still runs.
  std::this_thread::sleep_for(companion::REFRESH_EVERY + std::chrono::milliseconds(50));
  auto start = std::chrono::steady_clock::now();
  data.with({{"op", "list"}}, [](const ops::SessionData& d) { return ops::Json(d.live.size()); });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  slow.join();
}

}  // namespace
