// The status line: its op over summaries built here, the line drawn from an answer, the settings
// file changed as text, and the command run whole, with and without a companion.

#include "statusline/statusline.h"

#include "base/time_text.h"
#include "claude_files/index.h"
#include "claude_files/prices.h"
#include "companion/live_data.h"
#include "companion/statusline_op.h"
#include "groups/group_store.h"
#include "ops/ops.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "sessions/names.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace cstest;
using namespace ops;
namespace fs = std::filesystem;
using claude_files::MinuteUsage;
using claude_files::Tokens;
using claude_files::UsageKey;

constexpr int64_t NOW = 1'800'000'000'000, MIN = 60'000;

LiveSession live(pid_t pid, std::string id, std::string cwd, std::optional<std::string> waiting) {
  return {pid, id, cwd, 1, id, waiting ? "waiting" : "idle", waiting, 1, ""};
}

TEST(StatuslineOp, OneAnswerForTheCallingSession) {
  TempHome home;
  std::string err;
  ASSERT_TRUE(groups::changeMembers(home.path(), "g", groups::Change::Create, {"/w"}, &err));
  leases::LeaseStore store;
  ASSERT_TRUE(store.open(home / "l.db", &err)) << err;
  leases::Lease lease{"db", leases::holderOf("me", "me", ::getpid()), "migrating", NOW + 60'000};
  ASSERT_TRUE(store.acquire(lease, NOW, &err)) << err;

  std::vector<LiveSession> running = {
      live(10, "me", "/w/api", std::nullopt), live(11, "far", "/x", "question"),
      live(12, "mate", "/w/web", "permission"), live(13, "idle", "/w/idle", std::nullopt)};
  std::vector<TranscriptSummary> transcripts(2);
  transcripts[0].sessionId = "me";
  transcripts[1].sessionId = "other";
  UsageKey known{"known", "main", "", false}, mystery{"mystery", "main", "", false};
  transcripts[0].usage = {{known, {{3, 4, 0, 0, 0}, 2}}, {mystery, {{1, 1, 0, 0, 0}, 1}}};
  // Yesterday's minute, one in today's early hours, two inside the last 30 minutes.
  transcripts[0].recentUsage[known] = {MinuteUsage{NOW - 5 * 60 * MIN, {{100, 0, 0, 0, 0}, 1}},
                                       MinuteUsage{NOW - 90 * MIN, {{10, 0, 0, 0, 0}, 1}},
                                       MinuteUsage{NOW - 20 * MIN, {{1, 0, 0, 0, 0}, 1}}};
  transcripts[1].recentUsage[known] = {MinuteUsage{NOW - MIN, {{2, 0, 0, 0, 0}, 1}}};
  for (auto& t : transcripts) {
    t.lastActivityMillis = NOW - MIN;
  }
  SessionData data(running, transcripts, {10}, [](const UsageKey& k, const Tokens& t) {
    return k.model == "known" ? std::optional(double(t.input + t.output)) : std::nullopt;
  });
  Context ctx;
  buildContext(0, data, home.path(), NOW, &ctx);
  Json a = companion::opStatusline(
      {{"op", "statusline"}, {"session_id", "me"}, {"day_start", NOW - 3 * 60 * MIN}}, ctx, store);
  EXPECT_EQ(Json::parse(R"({"name":"me","usd":null,"usd_known":7.0,"unpriced_models":["mystery"],
      "channel":true,"leases":["db"],"running":4,
      "waiting":[{"name":"mate","for":"permission","group":true},
                 {"name":"far","for":"question","group":false}],
      "group":"g","today_usd":13.0,"rate_usd_per_hour":6.0})"),
            a);

  Json stranger = companion::opStatusline({{"session_id", "nobody"}}, ctx, store);
  EXPECT_EQ(nullptr, stranger["name"]);
  EXPECT_EQ(nullptr, stranger["usd"]);
  EXPECT_EQ(Json::array(), stranger["leases"]);
  EXPECT_EQ(2u, stranger["waiting"].size());
}

// The fixture's transcripts read as the companion reads them, copied under other ids and days:
// the line's session cost is `cost`'s, and today's is the sum of `cost` over the sessions `list`
// shows as active that day, unpriced model and subagents included.
TEST(StatuslineOp, SumsAgreeWithCostAndList) {
  TempHome home;
  const std::string sid = "11111111-aaaa-4bbb-8ccc-000000000001", dir = home / "claude";
  fs::copy(CS_TESTS_DIR "/fixtures/claude", dir, fs::copy_options::recursive);
  std::string text;
  std::getline(std::ifstream(dir + "/projects/-home-u-app/" + sid + ".jsonl"), text, '\0');
  auto copy = [&](const std::string& id, const std::string& day) {
    std::string t = std::regex_replace(text, std::regex(sid), id);
    fs::create_directories(dir + "/projects/-home-u-" + id);
    std::ofstream(dir + "/projects/-home-u-" + id + "/" + id + ".jsonl")
        << std::regex_replace(t, std::regex("2025-11-20T"), day + "T");
  };
  copy("22222222-aaaa-4bbb-8ccc-000000000002", "2025-11-20");
  copy("33333333-aaaa-4bbb-8ccc-000000000003", "2025-11-19");
  claude_files::Index index(dir, {true, nullptr, false, 1});
  index.refresh();
  std::vector<TranscriptSummary> read;
  for (const auto& t : index.transcripts()) {
    read.push_back(*t);
  }
  auto prices = claude_files::Prices::builtIn();
  const std::vector<LiveSession> none;
  SessionData data(none, read, {},
                   [&](const UsageKey& k, const Tokens& t) { return prices.usd(k, t); });
  const int64_t dayStart = base::parseIsoMillis("2025-11-20T00:00:00Z");
  Context ctx;
  buildContext(0, data, home.path(), dayStart + 86'399'000, &ctx);
  leases::LeaseStore store;
  Json line = companion::opStatusline(
      {{"op", "statusline"}, {"session_id", sid}, {"day_start", dayStart}}, ctx, store);

  Json own = costOp({{"name", sid}}, ctx), list = listOp({}, ctx);
  EXPECT_EQ(own["usd"], line["usd"]);
  EXPECT_DOUBLE_EQ(own["usd_known"].get<double>(), line["usd_known"].get<double>());
  double listed = 0;
  for (const Json& s : list["sessions"]) {
    bool today = base::parseIsoMillis(s["last_activity"].get<std::string>()) >= dayStart;
    listed += today ? costOp({{"name", s["id"]}}, ctx)["usd_known"].get<double>() : 0;
  }
  EXPECT_EQ(3u, list["sessions"].size());
  EXPECT_NEAR(listed, line["today_usd"].get<double>(), 1e-6);
  EXPECT_GT(listed, own["usd_known"].get<double>());
  EXPECT_EQ(true, line["today_unpriced"]);
}

// Requests share the names a refresh gave: the same lists while only usage grows, new names
// once a title makes two sessions alike.
TEST(StatuslineOp, NamesKeptUntilATitleChanges) {
  TempHome home;
  ::setenv("HOME", home.path().c_str(), 1);
  ::unsetenv("CLAUDE_CONFIG_DIR");
  const std::string folder = home / ".claude/projects/-w", a = "aaaa1111-0000", b = "bbbb2222-0000";
  fs::create_directories(folder);
  fs::create_directories(home / ".corvane");
  auto append = [&](const std::string& id, const std::string& line) {
    std::ofstream(folder + "/" + id + ".jsonl", std::ios::app) << line << "\n";
  };
  int answers = 0;
  auto answer = [&](const std::string& id) {
    append(id, R"({"type":"assistant","sessionId":")" + id + R"(","cwd":"/w","timestamp":")" +
                   base::isoUtc(platform::nowSeconds() * 1000) + R"(","message":{"id":"m)" +
                   std::to_string(++answers) +
                   R"(","model":"m","content":[],"usage":{"input_tokens":1,"output_tokens":1}}})");
  };
  auto title = [&](const std::string& id, const std::string& t) {
    append(id, R"({"type":"custom-title","customTitle":")" + t + R"(","sessionId":")" + id + "\"}");
  };
  title(a, "alpha");
  answer(a);
  title(b, "beta");
  answer(b);
  companion::LiveData data(home / ".corvane");
  auto names = [&](const std::vector<SessionRef>** list) {
    std::this_thread::sleep_for(companion::REFRESH_EVERY + std::chrono::milliseconds(50));
    std::set<std::string> got;
    data.with({{"op", "list"}}, [&](const SessionData& d) {
      *list = &d.named.value().finished.all();
      for (const SessionRef& r : **list) {
        got.insert(r.name);
      }
      return Json();
    });
    return got;
  };
  const std::vector<SessionRef>*first = nullptr, *again = nullptr, *renamed = nullptr;
  using Names = std::set<std::string>;
  EXPECT_EQ(Names({"alpha", "beta"}), names(&first));
  answer(a);
  EXPECT_EQ(Names({"alpha", "beta"}), names(&again));
  EXPECT_EQ(first, again);
  title(b, "alpha");
  EXPECT_EQ(Names({"alpha", "alpha#bbbb"}), names(&renamed));
  EXPECT_NE(first, renamed);
}

const Json INPUT = Json::parse(
    R"({"session_id":"s","context_window":{"used_percentage":42.4},
        "rate_limits":{"five_hour":{"used_percentage":31}}})");
const Json ANSWER = Json::parse(
    R"({"name":"api","usd":1.5,"channel":true,"leases":[],"running":3,"waiting":[],
        "group":null,"today_usd":12.4,"rate_usd_per_hour":3.1})");

Json with(Json j, const Json& patch) {
  j.update(patch);
  return j;
}

TEST(StatuslineRender, Lines) {
  const std::string full = "⇄ api · $1.50 · ctx 42% · 5h 31% │ hoje $12.40 · $3.10/h │ 3 sessões\n";
  Json busy = with(ANSWER, Json::parse(R"({"leases":["db"],"waiting":[
      {"name":"web","for":"permission","group":true},{"name":"docs","for":"","group":false}]})"));
  struct Case {
    const char* what;
    Json answer;
    statusline::Companion state;
    size_t columns;
    std::string want;
  } cases[] = {
      {"answered", ANSWER, statusline::Companion::Answered, 80, full},
      {"unpriced model", with(ANSWER, {{"usd", nullptr}, {"usd_known", 1.5}}),
       statusline::Companion::Answered, 80,
       "⇄ api · ≥$1.50* · ctx 42% · 5h 31% │ hoje $12.40 · $3.10/h │ 3 sessões\n"},
      {"companion starting", ANSWER, statusline::Companion::Starting, 80, "… · ctx 42% · 5h 31%\n"},
      {"companion failed", ANSWER, statusline::Companion::Failed, 80,
       "corvane indisponível · ctx 42% · 5h 31%\n"},
      {"others waiting, wide", busy, statusline::Companion::Answered, 80,
       full + "à espera: web (permission), docs · reserva: db\n"},
      {"others waiting, narrow", busy, statusline::Companion::Answered, 40,
       "⇄ api · $1.50 · ctx 42% · 2 à espera\n"},
      {"very narrow", busy, statusline::Companion::Answered, 6, "⇄ api\n"},
      {"escapes in names", with(ANSWER, {{"name", "ev\x1b]0;x\x07il\xff"}}),
       statusline::Companion::Answered, 80,
       "⇄ ev\\x1b]0;x\\x07il\\xff · $1.50 · ctx 42% · 5h 31% │ hoje $12.40 · $3.10/h\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.want, statusline::renderStatus(INPUT, c.answer, c.state, {c.columns, false}));
  }
  std::string coloured =
      statusline::renderStatus(INPUT, ANSWER, statusline::Companion::Answered, {80, true});
  EXPECT_NE(std::string::npos, coloured.find("\x1b[1m⇄ api\x1b[0m"));
  EXPECT_EQ(full, std::regex_replace(coloured, std::regex("\x1b\\[[0-9;]*m"), ""));
}

TEST(StatuslineSettings, InstallAndUninstallKeepEverythingElse) {
  const std::string cmd = "/x/channel-server statusline";
  const std::string ours = R"("statusLine": {"type": "command", "command": ")" + cmd + "\"}";
  const std::string tick = R"(,"refreshInterval":2})";
  using C = statusline::SettingsChange;
  struct Case {
    bool install;
    std::optional<std::string> before;
    C want;
    std::string after;  // empty: left as it was
  } cases[] = {
      {true, std::nullopt, C::Written,
       "{\n  \"statusLine\": {\n    \"type\": \"command\",\n    \"command\": \"" + cmd +
           "\",\n    \"refreshInterval\": 2\n  }\n}\n"},
      {true, "{\n    \"model\": \"opus\",\n    \"env\": {\"A\": \"1\"}\n}", C::Written,
       "{\n    \"model\": \"opus\",\n    \"env\": {\n        \"A\": \"1\"\n    },\n"
       "    \"statusLine\": {\n        \"type\": \"command\",\n        \"command\": \"" +
           cmd + "\",\n        \"refreshInterval\": 2\n    }\n}"},
      {true, "{\"statusLine\":{\"type\":\"command\",\"command\":\"ccusage statusline\"}}",
       C::Refused, ""},
      {true,
       "{\"statusLine\":{\"type\":\"command\",\"command\":\"/old/channel-server statusline\"}}",
       C::Written,
       "{\"statusLine\":{\"type\":\"command\",\"command\":\"" + cmd + "\"" + tick + "}"},
      {true, "{" + ours + "}", C::Unchanged, ""},
      {true, "{\"model\": // no comments\n}", C::Refused, ""},
      {false, "{\n\t\"model\": \"opus\",\n\t" + ours + "\n}\n", C::Written,
       "{\n\t\"model\": \"opus\"\n}\n"},
      {false, "{\"statusLine\":{\"type\":\"command\",\"command\":\"ccusage statusline\"}}",
       C::Unchanged, ""},
      {false, std::nullopt, C::Unchanged, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before.value_or("(no file)"));
    std::string out, message;
    C got = c.install ? statusline::installStatusLine(c.before, cmd, &out, &message)
                      : statusline::uninstallStatusLine(c.before, &out, &message);
    EXPECT_EQ(c.want, got) << message;
    EXPECT_EQ(c.after, out);
    if (got == C::Refused && c.install) {
      EXPECT_NE(std::string::npos,
                message.find(R"("statusLine": {"type":"command","command":")" + cmd + "\"" + tick))
          << message;
    }
  }
}

// The command itself: what claude sees on standard output, and the status it ends with.
std::pair<std::string, std::optional<int>> run(const TempHome& home, const std::string& stdinText,
                                               std::vector<std::string> args = {"statusline"},
                                               Env extra = {{"NO_COLOR", "1"}}) {
  Env env = baseEnv(home.path());
  env.insert(extra.begin(), extra.end());
  args.insert(args.begin(), binaryPath());
  auto c = Child::spawn(args, env);
  ::signal(SIGPIPE, SIG_IGN);  // input past the command's bound is left unread
  c->write(stdinText);
  c->closeInput();
  std::string out = c->readOutFor(3s);
  return {out, c->wait(3s)};
}

TEST(StatuslineCommand, MalformedInputIsOneShortLine) {
  TempHome home;
  for (const std::string& in : {std::string(), std::string("xx"), std::string("[1]"),
                                std::string(1100 * 1024, ' ') + "{}"}) {
    SCOPED_TRACE(in.substr(0, 10));
    EXPECT_EQ(std::pair(std::string("corvane: entrada inválida\n"), std::optional(0)),
              run(home, in));
  }
  EXPECT_FALSE(platform::exists(home / ".corvane/sessions.sock")) << "nothing to ask for";
}

TEST(StatuslineCommand, StartsTheCompanionThenShowsAnUnpricedSession) {
  TempHome home;
  fs::copy(CS_TESTS_DIR "/fixtures/claude", home / ".claude", fs::copy_options::recursive);
  std::string in = R"({"session_id":"11111111-aaaa-4bbb-8ccc-000000000001"})";
  EXPECT_EQ(std::pair(std::string("…\n"), std::optional(0)), run(home, in));
  std::string line;
  for (int i = 0; i < 50 && line.find("hoje") == std::string::npos; ++i) {
    line = run(home, in, {"statusline"}, {{"NO_COLOR", "1"}, {"COLUMNS", "200"}}).first;
  }
  EXPECT_TRUE(std::regex_match(line, std::regex("Login fix · ≥\\$[0-9.]+\\* │ hoje \\$0.00 · "
                                                "\\$0.00/h │ 0 sessões\n")))
      << line;
  auto log = platform::readFile(home / ".corvane/companion.log").value_or("");
  std::smatch pid;
  ASSERT_TRUE(std::regex_search(log, pid, std::regex("\\(pid ([0-9]+)\\)"))) << log;
  EXPECT_EQ(0, ::kill(std::stoi(pid[1]), SIGTERM)) << "the one companion, still running";
}

TEST(StatuslineCommand, InstallWritesOnlyItsOwnKeyWithABackup) {
  TempHome home;
  std::string settings = home / "cfg/settings.json";
  ASSERT_TRUE(platform::makeDirs(home / "cfg"));
  std::string before = "{\n  \"model\": \"opus\"\n}\n";
  ASSERT_TRUE(platform::createFile(settings, before, 0640, nullptr));
  Env env = {{"CLAUDE_CONFIG_DIR", home / "cfg"}};
  auto [said, status] = run(home, "", {"statusline", "--install"}, env);
  EXPECT_EQ(0, status);
  EXPECT_EQ(0, said.rfind("✓ linha de estado instalada", 0)) << said;
  EXPECT_EQ(before, platform::readRegularFile(settings + ".bak-corvane"));
  EXPECT_EQ(S_IFREG | 0640u, modeOf(settings));
  EXPECT_EQ(
      binaryPath() + " statusline",  // what is kept around it: the settings cases
      Json::parse(platform::readRegularFile(settings).value_or("null"))["statusLine"]["command"]);
  run(home, "", {"statusline", "--uninstall"}, env);
  EXPECT_EQ(before, platform::readRegularFile(settings));
}

}  // namespace
