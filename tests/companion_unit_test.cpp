// The companion's pure half: names, look-up, and the session ops over summaries built here.

#include "groups/group_cli.h"
#include "ops/ops.h"
#include "sessions/names.h"
#include "sessions/sessions_cmd.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

namespace {

using namespace ops;
using claude_files::Tokens;
using claude_files::UsageKey;

constexpr int64_t NOW = 1'800'000'000'000;  // 2027-01-15T08:00:00Z
constexpr int64_t MIN = 60'000, DAY = 86'400'000;

LiveSession live(pid_t pid, std::string id, std::string name, std::string cwd, int64_t started) {
  return {pid, std::move(id), std::move(cwd), started, std::move(name), "idle", {}, started, ""};
}

TranscriptSummary transcript(std::string id, std::string cwd, int64_t first, int64_t last,
                             std::string custom = "", std::string ai = "") {
  TranscriptSummary t;
  std::tie(t.sessionId, t.cwd, t.customTitle, t.aiTitle) = std::tie(id, cwd, custom, ai);
  std::tie(t.firstMillis, t.lastActivityMillis) = std::tie(first, last);
  return t;
}

// A request's context over the given data, as the server builds it.
struct World {
  std::vector<LiveSession> live;
  std::vector<TranscriptSummary> transcripts;
  std::set<pid_t> channels;
  Pricer price;
  size_t known = 0;  // sessions on disk, read or not

  Json ask(const Json& request) { return askLine(request.dump()); }
  Json askLine(const std::string& line) {
    SessionData data(live, transcripts, channels, price);
    data.sessionsKnown = known;
    Json error;
    auto r = parseRequest(line, &error);
    if (!r) {
      return error;
    }
    Context ctx;
    buildContext(r->callerPid, data, "/state", NOW, &ctx);
    return dispatch(sessionOps(), *r, ctx);
  }
};

World lookupWorld() {
  World w;
  w.live = {live(10, "aaaa1111", "alpha", "/w/a", 100), live(11, "bbbb2222", "beta", "/w/b", 200)};
  w.transcripts = {transcript("aaaa1111", "/w/a", 100, 300, "Fix Login"),
                   transcript("bbbb2222", "/w/b", 200, 300, "", "Refactor parser"),
                   transcript("aaab3333", "/w/gamma", 50, 60, "", "Deploy"),
                   // clashes with the running one, started later
                   transcript("cccc4444", "/w/c", 400, 500, "alpha", "deploy")};
  return w;
}

TEST(CompanionNames, LookUpRules) {
  World w = lookupWorld();
  const std::pair<const char*, const char*> cases[] = {
      {"alpha", "aaaa1111"},      {"fix login", "aaaa1111"}, {"REFACTOR PARSER", "bbbb2222"},
      {"aaaa", "aaaa1111"},       {"aaab", "aaab3333"},      {"bbbb2", "bbbb2222"},
      {"cccc", "cccc4444"},       {"alpha#", "cccc4444"},    {"gam", "aaab3333"},
      {"alpha#cccc", "cccc4444"}, {"be", "bbbb2222"},        {"aaa", "none"},
      {"DEPLOY", "several"},      {"al", "several"},         {"", "none"},
      {"zzzz", "none"},
  };
  for (const auto& [key, want] : cases) {
    SCOPED_TRACE(key);
    Json a = w.ask({{"op", "files"}, {"name", key}});
    if (std::string(want) == "none") {
      EXPECT_EQ(Json({{"error", "no session called " + std::string(key)},
                      {"sessions", {"alpha", "beta"}}}),
                a);
    } else if (std::string(want) == "several") {
      EXPECT_EQ(std::string(key) + " matches several sessions", a["error"]);
      EXPECT_GE(a["matches"].size(), 2u);
    } else {
      EXPECT_EQ(want, a["id"]);
    }
  }
}

TEST(CompanionNames, UniqueNamesGoToTheLaterStarted) {
  World w;
  w.live = {live(10, "later000", "dup", "/w/x", 500), live(11, "early000", "dup", "/w/y", 100),
            live(12, "nameless", "", "/w/tools/", 50)};
  w.transcripts = {transcript("fin00000", "/w/x", 300, 400, "dup"),
                   transcript("fin11111", "/w/x", 600, 700)};
  SessionRefs refs =
      sessionRefs(w.live, SessionData(w.live, w.transcripts, {}, nullptr).transcripts);
  std::set<std::string> names;  // id and name
  for (const auto* list : {&refs.running, &refs.finished}) {
    for (const SessionRef& r : *list) {
      names.insert(r.id + " " + r.name);
    }
  }
  EXPECT_EQ((std::set<std::string>{"early000 dup", "fin00000 dup#fin0", "later000 dup#late",
                                   "nameless tools-name", "fin11111 x-fin1"}),
            names);

  // A suffix is itself a name that may be taken: by a title, or by another suffix.
  std::vector<TranscriptSummary> dups = {
      transcript("1234aaaa", "/w", 1, 2, "dup"), transcript("1234bbbb", "/w", 3, 4, "dup"),
      transcript("1234cccc", "/w", 5, 6, "dup"), transcript("1234dddd", "/w", 7, 8, "dup#1234")};
  std::vector<std::string> got;
  for (const SessionRef& r :
       sessionRefs({}, SessionData({}, dups, {}, nullptr).transcripts).finished) {
    got.push_back(r.name);
  }
  EXPECT_EQ((std::vector<std::string>{"dup", "dup#1234b", "dup#1234c", "dup#1234"}), got);
}

TEST(CompanionOps, ListOrderLimitAndFlags) {
  World w;
  w.live = {live(20, "r-old", "old", "/w/o", NOW - 50 * MIN),
            live(21, "r-new", "new", "/w/n", NOW - 1 * MIN),
            live(22, "r-mid", "mid", "/w/m", NOW - 10 * MIN)};
  w.live[0].messagingSocketPath = "/tmp/s";
  w.live[1].status = "waiting";
  w.live[1].waitingFor = "approve Bash";
  w.channels = {22};
  for (int i = 0; i < 45; ++i) {
    w.transcripts.push_back(
        transcript("f" + std::to_string(i), "/w/f", 0, NOW - (i + 1) * 3 * 3600'000));
  }
  w.transcripts.push_back(transcript("ancient", "/w/f", 0, NOW - 8 * DAY));
  w.transcripts.push_back(transcript("r-mid", "/w/m", 0, NOW - 2 * MIN));
  w.transcripts.back().latestPrompt = std::string(250, 'p');
  Json a = w.ask({{"op", "list"}, {"caller_pid", 21}});
  ASSERT_EQ(40u, a["sessions"].size());
  EXPECT_EQ(49u - 40u, a["more"]);
  w.known = 2000;  // the sessions never read count too
  EXPECT_EQ(2000u - 40u, w.ask({{"op", "list"}})["more"]);
  const std::tuple<size_t, const char*, Json> fields[] = {
      {0, "id", "r-new"},        {1, "id", "r-mid"},
      {2, "id", "r-old"},        {3, "id", "f0"},
      {4, "id", "f1"},           {39, "id", "f36"},
      {0, "you", true},          {0, "waiting_for", "approve Bash"},
      {0, "messageable", false}, {1, "channel", true},
      {1, "messageable", true},  {1, "working_on", std::string(200, 'p') + "…"},
      {2, "messageable", true},  {2, "channel", false},
      {3, "status", "finished"}, {3, "last_activity", "2027-01-15T05:00:00Z"}};
  for (const auto& [i, key, want] : fields) {
    EXPECT_EQ(want, a["sessions"][i][key]) << i << " " << key;
  }
}

TEST(CompanionOps, ConflictsFromTranscriptsAndSoleOwners) {
  World w;
  w.live = {live(1, "A", "app", "/w/app", 1), live(2, "B", "lib", "/w/lib", 2),
            live(3, "C", "solo", "/w/solo", 3), live(4, "D", "d", "/w/shared", 4),
            live(5, "E", "e", "/w/shared", 5)};
  w.transcripts = {transcript("A", "/w/app", 1, 9), transcript("B", "/w/lib", 2, 9),
                   transcript("F", "/w/app", 1, 9)};
  auto edit = [](TranscriptSummary& t, std::string path, uint64_t n) {
    t.files[path] = {n, NOW, {{"Edit", n}}};
  };
  edit(w.transcripts[0], "/w/app/x.c", 2);
  edit(w.transcripts[0], "/w/solo/y.c", 1);
  edit(w.transcripts[0], "/w/shared/z.c", 1);
  edit(w.transcripts[0], "/w/solo2/q.c", 1);  // under no cwd: a prefix is no folder
  edit(w.transcripts[1], "x.c", 3);           // relative: resolved against its own cwd
  edit(w.transcripts[1], "/w/app/x.c", 1);
  edit(w.transcripts[2], "/w/lib/x.c", 5);  // finished sessions never conflict
  Json all = w.ask({{"op", "conflicts"}})["conflicts"];
  EXPECT_EQ(Json::parse(R"([
    {"path":"/w/app/x.c","sessions":[
      {"name":"app","edits":2,"last_edit":"2027-01-15T08:00:00Z","evidence":"transcript"},
      {"name":"lib","edits":1,"last_edit":"2027-01-15T08:00:00Z","evidence":"transcript"}]},
    {"path":"/w/solo/y.c","sessions":[
      {"name":"app","edits":1,"last_edit":"2027-01-15T08:00:00Z","evidence":"transcript"},
      {"name":"solo","edits":null,"last_edit":null,"evidence":"soleOwner"}]}])"),
            all);
  EXPECT_EQ(Json::array({all[1]}), w.ask({{"op", "conflicts"}, {"name", "solo"}})["conflicts"]);
  EXPECT_EQ(0u, w.ask({{"op", "conflicts"}, {"name", "d"}})["conflicts"].size());
  EXPECT_EQ("/w/lib/x.c", w.ask({{"op", "files"}, {"name", "lib"}})["files"][0]["path"]);
}

TEST(CompanionOps, CostWithAnUnpricedModelIsNullNeverZero) {
  World w;
  w.transcripts = {transcript("sess1", "/w/p", 1, 2)};
  auto& usage = w.transcripts[0].usage;
  usage[{"known", "main", "", 0, 0}] = {{100, 10, 5, 7, 1000}, 2};
  usage[{"known", "Explore", "pdf", 0, 0}] = {{1, 1, 0, 0, 0}, 1};
  w.price = [](const UsageKey& k, const Tokens& t) {
    return k.model == "known" ? std::optional(double(t.input + t.output)) : std::nullopt;
  };
  Json priced = w.ask({{"op", "cost"}, {"name", "sess1"}});
  EXPECT_EQ(112.0, priced["usd"]);
  EXPECT_EQ(Json::parse(R"({"input":101,"output":11,"cache_write":12,"cache_read":1000})"),
            priced["tokens"]);
  EXPECT_EQ(3u, priced["requests"]);
  EXPECT_EQ(Json::array(), priced["unpriced_models"]);
  ASSERT_EQ(1u, priced["by_skill"].size());
  EXPECT_EQ(2.0, priced["by_skill"][0]["usd"]);

  usage[{"mystery", "main", "", 0, 0}] = {{50, 50, 0, 0, 0}, 1};
  Json a = w.ask({{"op", "cost"}, {"name", "sess1"}});
  EXPECT_TRUE(a["usd"].is_null());
  EXPECT_EQ(112.0, a["usd_known"]);  // what the priced part cost
  EXPECT_EQ(Json::array({"mystery"}), a["unpriced_models"]);
  EXPECT_EQ(4u, a["requests"]);
  std::map<std::string, Json> usd;  // usd and usd_known, by model and by subagent
  for (const auto& [list, key] : {std::pair{"by_model", "model"}, {"by_subagent", "agent"}}) {
    for (const Json& m : a[list]) {
      usd[m[key].get<std::string>()] = {m["usd"], m["usd_known"]};
    }
  }
  EXPECT_EQ((std::map<std::string, Json>{{"known", {112.0, 112.0}},
                                         {"mystery", {nullptr, 0.0}},
                                         {"main", {nullptr, 110.0}},
                                         {"Explore", {2.0, 2.0}}}),
            usd);
}

TEST(CompanionOps, MalformedRequestsGetErrorAnswers) {
  World w = lookupWorld();
  const std::pair<const char*, const char*> cases[] = {
      {"garbage", "the request is not valid JSON"},
      {"[1]", "the request must be a JSON object"},
      {R"({"op":7})", "the request has no op"},
      {R"({"op":"drop_tables","caller_pid":"x"})", "unknown op drop_tables"},
      {R"({"op":"activity","caller_pid":99})",
       "name is required: the caller is no running session"},
      {R"({"op":"cost","caller_pid":10,"name":123})", "name must be a string, not a number"},
  };
  for (const auto& [line, error] : cases) {
    EXPECT_EQ(Json({{"error", error}}), w.askLine(line)) << line;
  }
  // Without a name, activity is the caller's own.
  EXPECT_EQ("alpha", w.ask({{"op", "activity"}, {"caller_pid", 10}})["name"]);
  EXPECT_EQ("{\"a\":\"\xEF\xBF\xBD\"}", answerText({{"a", "\xFF"}}));
}

TEST(SessionsTable, RowsTimesAndCost) {
  Json list = Json::parse(R"({"sessions":[
    {"name":"web","id":"1","project":"web","state":"running","status":"busy",
     "working_on":"make the\nlogin page faster please","last_activity":"2027-01-15T07:57:00Z"},
    {"name":"api","id":"2","project":"api","state":"finished","status":"finished",
     "working_on":"","last_activity":"2027-01-15T01:00:00Z"},
    {"name":"old","id":"3","project":"old","state":"finished","status":"finished",
     "working_on":"","last_activity":"2027-01-14T01:00:00Z"}],"more":0})");
  // The cut-off hides "old" and says so; 0 shows every session the list holds.
  size_t hidden = 0;
  std::string table =
      sessions::formatSessions(list, {{"1", {1.234, {}}}, {"2", {0.5, {"claude-x", "\x1b[2J"}}}},
                               NOW, NOW - 8 * 3600'000, 80, &hidden);
  EXPECT_EQ(
      "NOME  ESTADO     SITUAÇÃO  PROJETO  ÚLTIMA ATIVIDADE  CUSTO    FAZENDO\n"
      "web   em curso   ocupada   web      há 3 min          $1.23    make the login p…\n"
      "api   terminada  -         api      há 7 h            ≥$0.50*\n"
      "* custo parcial: sem preço para \\x1b[2J, claude-x; adicione-os a ~/.corvane/prices.json\n",
      table);
  EXPECT_EQ(1u, hidden);
  hidden = 0;
  table = sessions::formatSessions(list, {}, NOW, 0, 0, &hidden);
  EXPECT_EQ(0u, hidden);
  EXPECT_NE(std::string::npos, table.find("\nold   terminada  -")) << table;
  EXPECT_EQ("web\n", sessions::channelNames(Json::parse(
                         R"({"sessions":[{"name":"web","state":"running","channel":true},
                                         {"name":"api","state":"running","channel":false},
                                         {"name":"old","state":"finished","channel":true}]})")));
  const std::pair<int64_t, const char*> ago[] = {
      {NOW + 5000, "agora"}, {NOW - 59'000, "há 59 s"}, {NOW - 2 * DAY, "há 2 d"}};
  for (const auto& [then, want] : ago) {
    EXPECT_EQ(want, sessions::relativeTime(then, NOW));
  }
}

// Nothing a transcript, a title or a folder's name holds reaches the user's terminal as a control.
TEST(SessionsTable, HostileTextIsShownEscaped) {
  const std::pair<std::string, std::string> cases[] = {
      {"\x1b]52;c;eA==\x07", "\\x1b]52;c;eA==\\x07"},  // clipboard write
      {"\x1b]0;owned\x07", "\\x1b]0;owned\\x07"},      // window title
      {"\x1b[2Jx", "\\x1b[2Jx"},
      {"\xc2\x9bmred", "\\u009bmred"},  // C1 CSI
      {"a\x7f\xc2\x85z", "a\\x7f\\u0085z"},
      {"\xff\xfe\xc2", "\\xff\\xfe\\xc2"},     // not UTF-8
      {"a\u202ez\u2028", "a\\u202ez\\u2028"},  // reads right to left; ends the line
  };
  for (const auto& [hostile, shown] : cases) {
    SCOPED_TRACE(shown);
    Json list = {{"sessions",
                  {{{"name", hostile},
                    {"project", hostile},
                    {"state", "running"},
                    {"status", "idle"},
                    {"working_on", hostile}}}}};
    std::string table = sessions::formatSessions(list, {}, NOW, NOW, 0);
    std::istringstream row(table.substr(table.find('\n') + 1));
    std::vector<std::string> words{std::istream_iterator<std::string>(row), {}};
    EXPECT_EQ((std::vector<std::string>{shown, "em", "curso", "ociosa", shown, "-", "-", shown}),
              words);
    EXPECT_EQ("g\n  /w/" + shown + "\n    " + shown + " (/w/" + shown + ")\n",
              groups::formatGroups({{"g", {"/w/" + hostile}}},
                                   {{hostile, "1", "/w/" + hostile, "", "", 5, true, ""}}));
  }
}

}  // namespace
