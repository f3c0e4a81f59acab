#include "companion/names.h"
#include "groups/group_ops.h"
#include "groups/paging.h"
#include "platform/files.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

namespace {

using base::Json;

TEST(Paging, WalksByCharactersToTheEndAndPastIt) {
  const std::string text = "ação é 😀 fim\nsegunda linha — ok";
  for (size_t limit : {1u, 3u, 7u, 100u}) {
    SCOPED_TRACE(limit);
    std::string joined;
    size_t offset = 0;
    for (int guard = 0; guard < 100; ++guard) {
      groups::Page p = groups::pageOf(text, offset, limit);
      EXPECT_EQ(offset, p.offset);
      EXPECT_EQ(31u, p.totalChars);
      joined += p.text;
      if (!p.nextOffset) {
        break;
      }
      EXPECT_EQ(offset + limit, *p.nextOffset);
      offset = *p.nextOffset;
    }
    EXPECT_EQ(text, joined);
  }
  groups::Page past = groups::pageOf(text, 500, 10);
  EXPECT_EQ("", past.text);
  EXPECT_EQ(31u, past.offset);
  EXPECT_FALSE(past.nextOffset);
  EXPECT_EQ("é 😀", groups::pageOf(text, 5, 3).text);
}

TEST(Paging, FindWalksEveryMatchThenStops) {
  std::string text = "ça Deploy";
  for (int i = 0; i < 3; ++i) {
    text += std::string(700, 'x') + "— deploy";
  }
  std::vector<size_t> starts;
  size_t offset = 0;
  for (int guard = 0; guard < 10; ++guard) {
    groups::Found f = groups::findFrom(text, "DEPLOY", offset);
    ASSERT_EQ(starts.size() + 1, f.match);
    EXPECT_EQ(4u, f.matches);
    EXPECT_EQ(600u, groups::charCount(f.text));
    EXPECT_NE(std::string::npos, f.text.find("eploy"));
    starts.push_back(f.offset);
    if (!f.nextOffset) {
      break;
    }
    offset = *f.nextOffset;
  }
  EXPECT_EQ((std::vector<size_t>{3, 711, 1419, 2127}), starts);
  groups::Found after = groups::findFrom(text, "deploy", starts.back() + 1);
  EXPECT_EQ(0u, after.match);
  EXPECT_EQ("", after.text);
  EXPECT_EQ(0u, groups::findFrom("short", "nope", 0).matches);
}

TEST(Groups, NearestFolderWins) {
  std::vector<groups::Group> all = {{"outer", {"/w"}}, {"inner", {"/w/app/core", "/x"}}};
  const std::pair<const char*, const char*> cases[] = {
      {"/w", "outer"},
      {"/w/app", "outer"},
      {"/w/app/core/src", "inner"},
      {"/w/app/cores", "outer"},
      {"/x", "inner"},
      {"/wx", nullptr},
      {"/", nullptr},
  };
  for (const auto& [cwd, want] : cases) {
    SCOPED_TRACE(cwd);
    const groups::Group* g = groups::groupFor(all, cwd);
    EXPECT_EQ(want == nullptr ? "" : want, g == nullptr ? "" : g->name);
  }
}

class GroupOps : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx.stateDir = home / ".corvane";
    ctx.nowMillis = 1'800'000'000'000;
    ctx.running = {{"ann", "a1", "/w/api", "api", "", 11, true, ""},
                   {"bob", "b1", "/w/web/src", "src", "", 12, true, ""},
                   {"eve", "e1", "/elsewhere", "elsewhere", "", 13, true, ""}};
    ctx.finished = {{"old", "o1", "/w/api/x", "x", "", 0, false, ""}};
    ctx.you = ctx.running[0];
    ctx.find = [this](std::string_view n) {
      return companion::lookUp(n, ctx.running, ctx.finished);
    };
    std::string err;
    ASSERT_TRUE(groups::changeMembers(ctx.stateDir, "feat", groups::Change::Create,
                                      {"/w/api", "/w/web"}, &err))
        << err;
  }
  Json note(const std::string& text, const std::string& doc = "") {
    Json req = {{"text", text}};
    if (!doc.empty()) {
      req["doc"] = doc;
    }
    return groups::opGroupNote(req, ctx);
  }
  cstest::TempHome home;
  companion::Context ctx;
};

TEST_F(GroupOps, NotesAreSignedAppendedOrReplacedAndReadBack) {
  EXPECT_EQ(R"({"ok":true,"group":"feat","doc":"decisions","total_chars":46})",
            note("use JSON lines").dump());
  note("keep ports < 9000\n");
  note("v1", "contract");
  EXPECT_EQ(R"({"ok":true,"group":"feat","doc":"contract","total_chars":3})",
            note("v2", "contract").dump());
  ctx.you = ctx.running[1];
  Json index = groups::opGroupContext({}, ctx);
  EXPECT_EQ(
      R"([{"name":"ann","project":"api","state":"running"},{"name":"bob","project":"src","state":"running"},{"name":"old","project":"x","state":"finished"}])",
      index["members"].dump());
  EXPECT_EQ(R"({"doc":"contract","chars":3,"preview":"v2\n"})", index["docs"][0].dump());
  Json log = groups::opGroupContext({{"doc", "decisions"}, {"limit", 50}}, ctx);
  EXPECT_EQ("## 2027-01-15T08:00:00Z — ann\n\nuse JSON lines\n\n## ", log["text"]);
  EXPECT_EQ(50, log["next_offset"]);
  Json found = groups::opGroupContext({{"doc", "decisions"}, {"find", "PORTS"}}, ctx);
  EXPECT_EQ(1, found["match"]);
  EXPECT_EQ(83, found["offset"]);
  EXPECT_EQ(nullptr, found["next_offset"]);
  EXPECT_EQ("feat", groups::opGroupContext({{"name", "ann"}}, ctx)["group"]);
}

TEST_F(GroupOps, RefusalsAndTheNotInAGroupAnswer) {
  const std::string notIn =
      R"({"error":"you are not in a work group","hint":"the user creates one with: channel-server group create NAME DIR..."})";
  ctx.you = ctx.running[2];
  EXPECT_EQ(notIn, groups::opGroupContext({}, ctx).dump());
  EXPECT_EQ(notIn, note("x").dump());
  ctx.you.reset();
  EXPECT_EQ(notIn, groups::opGroupContext({{"doc", "board"}}, ctx).dump());
  EXPECT_EQ(R"({"error":"eve is not in a work group"})",
            groups::opGroupContext({{"name", "eve"}}, ctx).dump());
  EXPECT_EQ(R"({"error":"no session called zed","sessions":["ann","bob","eve"]})",
            groups::opGroupContext({{"name", "zed"}}, ctx).dump());
  ctx.you = ctx.running[0];
  const Json bad[] = {{{"doc", "secrets"}}, {{"doc", 3}}, {{"find", "x"}}};
  for (const Json& req : bad) {
    SCOPED_TRACE(req.dump());
    EXPECT_EQ(R"({"error":"doc must be one of contract, decisions, questions, board"})",
              groups::opGroupContext(req, ctx).dump());
  }
  std::string err;
  const std::pair<const char*, groups::Change> refused[] = {{"feat", groups::Change::Create},
                                                            {"bad name", groups::Change::Create},
                                                            {"other", groups::Change::Add},
                                                            {"", groups::Change::Create}};
  for (const auto& [name, change] : refused) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(groups::changeMembers(ctx.stateDir, name, change, {"/q"}, &err));
  }
  EXPECT_FALSE(
      groups::changeMembers(ctx.stateDir, "two", groups::Change::Create, {"/w/api"}, &err));
  EXPECT_EQ("/w/api is already in group feat", err);
}

TEST_F(GroupOps, AppendsFromTwoProcessesAtOnceAllSurvive) {
  constexpr int EACH = 25;
  EXPECT_TRUE(cstest::inChildren(2, [&](int k) {
    ctx.you->name = "writer" + std::to_string(k);
    bool ok = true;
    for (int i = 0; i < EACH; ++i) {
      ok = ok && note("entry " + std::to_string(i)).value("ok", false);
    }
    return ok;
  }));
  std::string log = platform::readFile(ctx.stateDir + "/groups/feat/decisions.md").value_or("");
  for (int k = 0; k < 2; ++k) {
    for (int i = 0; i < EACH; ++i) {
      std::string entry = "— writer" + std::to_string(k) + "\n\nentry " + std::to_string(i) + "\n";
      EXPECT_NE(std::string::npos, log.find(entry)) << entry;
    }
  }
}

}  // namespace
