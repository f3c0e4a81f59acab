// The transcript readers over fixtures written in Claude Code's own record shapes.

#include "base/time_text.h"
#include "claude_files/index.h"
#include "claude_files/prices.h"
#include "claude_files/skim.h"
#include "claude_files/transcript.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using namespace claude_files;

const std::string SID = "11111111-aaaa-4bbb-8ccc-000000000001";
const std::string FIXTURES = CS_TESTS_DIR "/fixtures/claude";
const std::string MAIN = "/projects/-home-u-app/" + SID + ".jsonl";
const int32_t DAY = 20412;  // 2025-11-20, the fixture's day

class ClaudeFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy(FIXTURES, m_home.path() + "/claude", fs::copy_options::recursive);
  }
  std::string dir() const { return m_home.path() + "/claude"; }
  static TranscriptSummary session(const Index& idx) {
    auto found = idx.findTranscript(SID);
    EXPECT_TRUE(found);
    return found ? *found : TranscriptSummary{};
  }
  static std::string slurp(const std::string& path) { return *platform::readFile(path); }
  static void write(const std::string& path, const std::string& bytes, bool append) {
    std::ofstream(path, append ? std::ios::app : std::ios::trunc) << bytes;
  }
  cstest::TempHome m_home;
};

TEST_F(ClaudeFilesTest, SummaryOfASessionWithItsSubagents) {
  Index idx(dir());
  idx.refresh();
  ASSERT_EQ(idx.transcripts().size(), 1u);
  const TranscriptSummary& s = session(idx);
  EXPECT_EQ(s.cwd, "/home/u/app");
  EXPECT_EQ(s.customTitle, "Login fix");
  EXPECT_EQ(s.aiTitle, "Fixing login");
  // Not the tool results, the meta line, the interruption, the background task's report or
  // subagents.
  EXPECT_EQ(s.turns, 3u);
  EXPECT_EQ(s.latestPrompt, "and the docs");
  EXPECT_EQ(s.latestAnswer, "Added the test.");  // the subagent's later text is not the session's
  EXPECT_EQ(s.claudeUsd, 0.0421);
  EXPECT_EQ(s.mcpToolCalls, 1u);
  EXPECT_EQ(s.firstMillis, base::parseIsoMillis("2025-11-20T10:00:00Z"));
  // the nested subagent's line
  EXPECT_EQ(s.lastActivityMillis, base::parseIsoMillis("2025-11-20T10:07:00Z"));

  const std::string sonnet = "claude-sonnet-4-5-20250929", haiku = "claude-haiku-4-5-20251001";
  const std::map<UsageKey, Usage> usage = {
      {{sonnet, "main", "", 0, DAY}, {{10, 50, 400, 600, 5000}, 1}},  // three lines, one answer
      {{sonnet, "main", "pdf", 0, DAY}, {{20, 100, 0, 0, 6000}, 1}},
      {{"claude-mystery-1", "main", "", 0, DAY}, {{5, 7, 0, 0, 0}, 1}},
      {{haiku, "main", "", 0, DAY}, {{100, 20, 0, 0, 0}, 1}},
      {{haiku, "Explore", "", 0, DAY}, {{350, 50, 0, 0, 0}, 2}},
      {{sonnet, "agent-b2", "", 0, DAY}, {{1, 2, 0, 0, 0}, 1}},
  };
  EXPECT_EQ(usage, s.usage);           // <synthetic> is no request
  std::map<UsageKey, Usage> byMinute;  // every fixture answer has a time, all within a day
  for (const auto& [key, series] : s.recentUsage) {
    std::vector<MinuteUsage> one;
    for (const MinuteUsage& m : series) {
      addToMinute(&one, 0, m.usage);
    }
    byMinute[key] = one.at(0).usage;
  }
  EXPECT_EQ(usage, byMinute);

  ASSERT_EQ(s.files.size(), 3u);
  // relative in the session, absolute in the subagent
  EXPECT_EQ(s.files.at("/home/u/app/src/login.ts"),
            (FileEdits{2, base::parseIsoMillis("2025-11-20T10:00:08Z"), {{"Edit", 2}}}));
  EXPECT_EQ(s.files.at("/home/u/app/README.md").byTool.at("Write"), 1u);
  EXPECT_EQ(s.files.at("/home/u/app/nb/a.ipynb").byTool.at("NotebookEdit"), 1u);

  std::vector<std::string> tools;
  for (const ToolCall& t : s.recentTools) {
    tools.push_back(t.tool + ":" + t.target + (t.done ? "" : " (running)"));
  }
  EXPECT_EQ(tools,
            (std::vector<std::string>{
                "Edit:src/login.ts", "Bash:npm test", "Grep:login (running)",
                "Edit:/home/u/app/src/login.ts (running)", "mcp__github__create_issue: (running)",
                "Write:/home/u/app/README.md", "NotebookEdit:nb/../nb/a.ipynb (running)"}));
}

TEST_F(ClaudeFilesTest, ReadingInPiecesEqualsReadingAtOnce) {
  std::string bytes = slurp(dir() + MAIN);
  LineParser parser;
  TranscriptReader whole(true, "main");
  whole.feed(bytes, 0, parser);
  whole.finish(parser);
  for (size_t cut = 1; cut < bytes.size(); cut += 13) {
    TranscriptReader pieces(true, "main");
    pieces.feed(std::string_view(bytes).substr(0, cut), 0, parser);
    pieces.finish(parser);  // may hold a truncated last line
    pieces.feed(std::string_view(bytes).substr(cut), 0, parser);
    pieces.finish(parser);
    ASSERT_EQ(pieces.aggregate().summary, whole.aggregate().summary) << "cut at " << cut;
  }
}

// A file read in parts at once and joined equals it read in one go, wherever it is cut. A part
// the join cannot add (an answer counted on both sides of the cut, an edit whose folder only the
// part before knew) is refused, and read again after the part before it.
TEST_F(ClaudeFilesTest, PartsReadApartAndJoinedEqualReadingAtOnce) {
  // Two days after the fixture, so that its minutes fall out of the recent ones: a tool called
  // and answered, an edit without a folder, an answer's text going on, a title set empty; then,
  // in the second file, another answer. Cuts between lines of one answer (the fixture's first
  // has three, each with its usage) take it back from the later part.
  std::string at = R"({"type":"assistant","timestamp":"2025-11-22T09:00:0)";
  std::string tail =
      at +
      R"(0Z","message":{"id":"m2","content":[{"type":"tool_use","id":"tu1",)"
      R"("name":"Edit","input":{"file_path":"rel.ts"}}]}})"
      "\n"
      R"({"type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"tu1"}]}})"
      "\n" +
      at +
      R"(1Z","message":{"model":"m","id":"m1","content":[{"type":"text","text":"one"}],)"
      R"("usage":{"input_tokens":7,"output_tokens":1}},"requestId":"r1"})"
      "\n" +
      at +
      R"(2Z","message":{"id":"m1","content":[{"type":"text","text":"two"}]}})"
      "\n"
      R"({"type":"custom-title","customTitle":""})"
      "\n"
      // The first answer's line again, a day later: counted once, and its minute no window's.
      R"({"type":"assistant","timestamp":"2025-11-23T09:00:00Z","message":{"model":"m","id":"m1",)"
      R"("usage":{"input_tokens":7,"output_tokens":1}},"requestId":"r1"})"
      "\n";
  std::string another = at + R"(3Z","message":{"id":"m3","content":[{"type":"text","text":"3"}]}})";
  size_t cuts = 0, joined = 0;
  for (const std::string& bytes :
       {slurp(dir() + MAIN) + tail, slurp(dir() + MAIN) + tail + another}) {
    LineParser parser;
    TranscriptReader whole(true, "main");
    whole.feed(bytes, 0, parser);
    whole.finish(parser);
    for (size_t cut = bytes.find('\n') + 1; cut > 0 && cut < bytes.size();
         cut = bytes.find('\n', cut) + 1) {
      TranscriptReader first(true, "main");
      auto later = TranscriptReader::laterPart(true, "main", true);
      first.feed(std::string_view(bytes).substr(0, cut), 0, parser);
      later->feed(std::string_view(bytes).substr(cut), 0, parser);
      ++cuts;
      if (first.join(*later)) {
        ++joined;  // with the later part's unfinished last line
      } else {
        first.feed(std::string_view(bytes).substr(cut), 0, parser);
      }
      first.finish(parser);
      const FileAggregate &got = first.aggregate(), &want = whole.aggregate();
      ASSERT_EQ(got.summary, want.summary) << "cut at " << cut;
      ASSERT_EQ(std::tie(got.answerId, got.newestMinute),
                std::tie(want.answerId, want.newestMinute));
      ASSERT_EQ(got.countedAnswers.size(), want.countedAnswers.size());
    }
  }
  EXPECT_GT(joined, cuts / 2);
  EXPECT_LT(joined, cuts);
}

// A long file is read in parts on several threads; what is read is what one thread reads. When
// the fixture's first answer comes again at the end, the last part is refused and read again.
TEST_F(ClaudeFilesTest, ALongFileReadOnThreadsEqualsItReadOnOne) {
  std::string fixture = slurp(dir() + MAIN), bytes;
  for (int i = 0; bytes.size() < (size_t{9} << 20); ++i) {
    std::string copy = fixture;
    for (const char* id : {"msg_01", "req_01", "toolu_0"}) {
      for (size_t at = copy.find(id); at != std::string::npos; at = copy.find(id, at + 1)) {
        copy.insert(at + std::strlen(id), std::to_string(i) + "_");
      }
    }
    bytes += copy;
  }
  size_t second = bytes.find('\n') + 1;
  std::string answer = bytes.substr(second, bytes.find('\n', second) + 1 - second);
  for (const std::string& end : {std::string(), answer}) {
    write(dir() + MAIN, bytes + end, false);
    Index one(dir(), IndexOptions{true, nullptr, false, 1});
    Index four(dir(), IndexOptions{true, nullptr, false, 4});
    one.refresh();
    four.refresh();
    EXPECT_EQ(session(four), session(one));
    EXPECT_EQ(four.bytesReadLastRefresh() > one.bytesReadLastRefresh(), !end.empty());
  }
}

TEST(ClaudeFilesMinutes, ADayOfMinutesBackFromTheNewestAnswer) {
  auto answer = [](const std::string& at, int n) {
    return R"({"type":"assistant","timestamp":")" + at + R"(","message":{"model":"m","id":"m)" +
           std::to_string(n) + R"(","usage":{"input_tokens":)" + std::to_string(n) +
           R"(,"output_tokens":0}},"requestId":"r"})" + "\n";
  };
  const std::string lines[] = {answer("2026-01-01T10:00:05Z", 1),  // dropped by the last one
                               answer("2026-01-01T11:00:00Z", 2),
                               answer("2026-01-01T11:00:59Z", 4),  // same minute
                               answer("2026-01-01T10:59:00Z", 8),  // out of order
                               answer("2026-01-02T10:30:00Z", 16)};
  LineParser parser;
  TranscriptReader reader(true, "main");
  for (const std::string& line : lines) {
    reader.feed(line, 0, parser);
  }
  auto minute = [](const std::string& at, uint64_t input, uint64_t requests) {
    return MinuteUsage{base::parseIsoMillis(at), {{input, 0, 0, 0, 0}, requests}};
  };
  // A price may change with the day, so each day's usage has a key of its own.
  std::vector<MinuteUsage> minutes;
  for (const auto& [key, byMinute] : reader.aggregate().summary.recentUsage) {
    minutes.insert(minutes.end(), byMinute.begin(), byMinute.end());
  }
  EXPECT_EQ((std::vector<MinuteUsage>{minute("2026-01-01T10:59:00Z", 8, 1),
                                      minute("2026-01-01T11:00:00Z", 6, 2),
                                      minute("2026-01-02T10:30:00Z", 16, 1)}),
            minutes);
  uint64_t requests = 0;
  for (const auto& [key, usage] : reader.aggregate().summary.usage) {
    requests += usage.requests;
  }
  EXPECT_EQ(5u, requests);
}

TEST_F(ClaudeFilesTest, AppendsShrinksAndRemovalsMatchAFreshRead) {
  std::string path = dir() + MAIN;
  std::string bytes = slurp(path);
  size_t cut = bytes.find("now add a test") + 3;  // the latest prompt, half written
  write(path, bytes.substr(0, cut), false);
  Index idx(dir());
  idx.refresh();
  EXPECT_EQ(session(idx).turns, 1u);
  EXPECT_EQ(session(idx).latestPrompt, "fix the login bug");

  auto fresh = [this] {
    Index other(dir());
    other.refresh();
    return session(other);
  };
  struct Step {
    const char* what;
    std::function<void()> change;
  };
  const Step steps[] = {
      {"the truncated line completed", [&] { write(path, bytes.substr(cut), true); }},
      {"an append", [&] { write(path, bytes.substr(0, bytes.find('\n') + 1), true); }},
      {"nothing changed", [] {}},
      {"a shorter file in its place",
       [&] {
         write(path + ".new", bytes.substr(0, bytes.find('\n') + 1), false);
         fs::rename(path + ".new", path);
       }},
      {"a subagent transcript removed",
       [&] { fs::remove(dir() + "/projects/-home-u-app/" + SID + "/subagents/agent-a1.jsonl"); }},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    idx.refresh();
    EXPECT_EQ(session(idx), fresh());
  }
  EXPECT_EQ(session(idx).turns, 1u);
  EXPECT_EQ(idx.bytesReadLastRefresh(), 0u);  // removing a file reads nothing
  fs::remove_all(dir() + "/projects/-home-u-app");
  idx.refresh();
  EXPECT_TRUE(idx.transcripts().empty());
  EXPECT_FALSE(idx.findTranscript(SID));
}

TEST_F(ClaudeFilesTest, PreFilterNeverChangesASummary) {
  // Lines whose type hides behind an escape, or that only mention a type, must not fool it.
  write(dir() + MAIN,
        "{\"type\":\"us\\u0065r\",\"message\":{\"role\":\"user\",\"content\":\"escaped\"}}\n"
        "{\"type\":\"progress\",\"data\":{\"type\":\"user\",\"content\":\"nested\"}}\n"
        "{\"type\":\"summary\",\"summary\":\"x\",\"leafUuid\":\"l\"}\n",
        true);
  // Long lines that answer a tool are skimmed: their long strings (with escaped quotes and a
  // trailing escaped backslash) are skipped, one that never ends is no record, and a line that
  // only names a tool_result is read in full.
  std::string output = std::string(3000, 'o') + R"(\"q\" \\\" \\)";
  std::string head = R"({"type":"user","timestamp":"2025-11-20T11:0)";
  write(dir() + MAIN,
        R"({"type":"assistant","timestamp":"2025-11-20T11:00:00Z","message":{"id":"m9","content":)"
        R"([{"type":"tool_use","id":"tu9","name":"Bash","input":{"command":"ls"}}]}}
)" + head +
            R"(1:00Z","message":{"role":"user","content":[{"type":"tool_result","tool_use_id":)"
            R"("tu9","content":")" +
            output + output + R"("}]},"toolUseResult":{"stdout":")" + output + "\"}}\n" + head +
            R"(2:00Z","message":{"content":[{"type":"tool_result",)" +
            R"("tool_use_id":"tu0","content":")" + output + output + "\n" +
            R"({"type":"assistant","timestamp":"2025-11-20T11:00:30Z","note":"tool_result",)" +
            R"("message":{"id":"m8","content":[{"type":"text","text":")" + output + output +
            "\"}]}}\n",
        true);
  Index on(dir()), off(dir(), IndexOptions{false, nullptr, true, 0});
  on.refresh();
  off.refresh();
  EXPECT_EQ(session(on), session(off));
  EXPECT_EQ(session(on).latestPrompt, "escaped");
  EXPECT_TRUE(session(on).recentTools.back().done);
  EXPECT_EQ(session(on).lastActivityMillis, base::parseIsoMillis("2025-11-20T11:01:00Z"));
  EXPECT_EQ(session(on).latestAnswer->size(), ANSWER_MAX_CHARS);
  EXPECT_FALSE(mayMatter(R"({"type":"summary","summary":"x","leafUuid":"l"})"));
}

// The skimmer reads 64 bytes at a time: a run of backslashes before a quote is counted right
// wherever the run and the quote fall against that grid. An odd run escapes the quote, so the
// string goes on to the next one and is dropped whole; an even run lets the quote end it, and the
// next quote then opens a string that never ends.
TEST(Skim, BackslashRunsAcrossTheScannersBlocks) {
  std::string out;
  for (size_t lead = 0; lead < 140; ++lead) {
    for (size_t run = 1; run <= 5; ++run) {
      std::string line = R"({"a":")" + std::string(lead, 'x') + std::string(run, '\\') + R"(""})";
      bool whole = withoutLongStrings(line, 8, &out);
      SCOPED_TRACE("lead " + std::to_string(lead) + ", run " + std::to_string(run));
      ASSERT_EQ(whole, run % 2 == 1);
      if (whole) {
        EXPECT_EQ(out.substr(0, out.find(' ')), lead + run + 2 <= 8 ? line : R"({"a":""})");
      }
    }
  }
  ASSERT_TRUE(withoutLongStrings(R"({"t":"tool_result","c":"\\\"q\\\"","n":1})", 100, &out));
  EXPECT_EQ(out.substr(0, out.find(' ')), R"({"t":"tool_result","c":"\\\"q\\\"","n":1})");
}

TEST_F(ClaudeFilesTest, LateMetaFilesHugeLinesAndOtherSessions) {
  std::string subagents = dir() + "/projects/-home-u-app/" + SID + "/subagents/";
  fs::remove(subagents + "agent-a1.meta.json");
  std::string other = dir() + "/projects/-home-u-lib/22222222-0000-4000-8000-000000000002.jsonl";
  fs::create_directories(dir() + "/projects/-home-u-lib");
  // A pasted prompt over a megabyte, in two-byte characters, and a huge tool result.
  std::string prompt = "a";
  for (int i = 0; i < 700000; ++i) {
    prompt += "\u00e9";
  }
  write(other,
        R"({"type":"user","cwd":"/home/u/lib","message":{"role":"user","content":")" + prompt +
            "\"}}\n" +
            R"({"type":"user","message":{"role":"user","content":[{"type":"tool_result",)" +
            R"("tool_use_id":"t","content":")" + std::string(3 << 20, 'x') + "\"}]}}\n",
        false);
  Index idx(dir());
  idx.refresh();
  EXPECT_EQ(session(idx).usage.count({"claude-haiku-4-5-20251001", "agent-a1", "", 0, DAY}), 1u);
  write(subagents + "agent-a1.meta.json", R"({"agentType":"Plan"})", false);
  write(subagents + "agent-a1.jsonl", "\n", true);
  idx.refresh();
  EXPECT_EQ(session(idx).usage.at({"claude-haiku-4-5-20251001", "Plan", "", 0, DAY}).requests, 2u);
  EXPECT_EQ(session(idx).usage.count({"claude-haiku-4-5-20251001", "agent-a1", "", 0, DAY}), 0u);

  auto lib = idx.findTranscript("22222222-0000-4000-8000-000000000002");
  ASSERT_TRUE(lib);
  const TranscriptSummary& s = *lib;
  EXPECT_EQ(s.cwd, "/home/u/lib");
  EXPECT_EQ(s.turns, 1u);
  EXPECT_EQ(s.latestPrompt.size(), PROMPT_MAX_BYTES - 1);  // whole characters only
  EXPECT_EQ(s.latestPrompt.substr(0, 3), "a\u00e9");
  EXPECT_FALSE(idx.findTranscript("33333333"));
}

}  // namespace
