#include "base/paging.h"
#include "groups/group_ops.h"
#include "notes/notebook.h"
#include "notes/scratchpad_ops.h"
#include "platform/files.h"
#include "platform/text.h"
#include "sessions/names.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sys/stat.h>

namespace {

using base::Json;

// One markdown block a line: fenced code (``` and ~~~, longer fences) hides headings.
const char* NOTE =
    "intro\n"
    "# Deploy\nsteps\n"
    "```sh\n# not a heading\n~~~\n## still code\n```\n"
    "## Rollback ##\nundo it\n"
    "  ### Prod #tag\ncareful\n"
    "~~~~\n# code too\n~~~~~\n"
    "#nospace\n####### seven\n"
    "# Ops\n## Rollback\npage ops\n";

TEST(Notebook, OutlineSkipsFencesAndSizesSections) {
  std::vector<notes::Heading> outline = notes::outlineOf(NOTE);
  std::vector<std::tuple<int, std::string, size_t>> got;
  for (const auto& h : outline) {
    got.emplace_back(h.level, h.path, h.end - h.start);
  }
  const std::vector<std::tuple<int, std::string, size_t>> want = {
      {1, "Deploy", 151}, {2, "Deploy > Rollback", 92}, {3, "Deploy > Rollback > Prod #tag", 69},
      {1, "Ops", 27},     {2, "Ops > Rollback", 21},
  };
  EXPECT_EQ(want, got);
  const std::pair<const char*, std::vector<std::string>> queries[] = {
      {"deploy >  rollback", {"Deploy > Rollback"}},
      {"Rollback", {"Deploy > Rollback", "Ops > Rollback"}},
      {"prod #TAG", {"Deploy > Rollback > Prod #tag"}},
      {"Deploy > Prod #tag", {}},
      {"not a heading", {}},
  };
  for (const auto& [query, paths] : queries) {
    SCOPED_TRACE(query);
    std::vector<std::string> found;
    for (const notes::Heading* h : notes::sectionsNamed(outline, query)) {
      found.push_back(h->path);
    }
    EXPECT_EQ(paths, found);
  }
  EXPECT_EQ("/s/notes/%2Fa%25b%2Fc d.md", notes::notebookPath("/s", "/a%b/c d"));
}

TEST(Paging, WalksByCharactersToTheEndAndPastIt) {
  const std::string text = "ação é 😀 fim\nsegunda linha — ok";
  for (size_t limit : {1u, 3u, 7u, 100u}) {
    SCOPED_TRACE(limit);
    std::string joined;
    size_t offset = 0;
    for (int guard = 0; guard < 100; ++guard) {
      base::Page p = base::pageOf(text, offset, limit);
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
  base::Page past = base::pageOf(text, 500, 10);
  EXPECT_EQ("", past.text);
  EXPECT_EQ(31u, past.offset);
  EXPECT_FALSE(past.nextOffset);
  EXPECT_EQ("é 😀", base::pageOf(text, 5, 3).text);
}

TEST(Paging, FindWalksEveryMatchThenStops) {
  std::string text = "ça Deploy";
  for (int i = 0; i < 3; ++i) {
    text += std::string(700, 'x') + "— deploy";
  }
  std::vector<size_t> starts;
  size_t offset = 0;
  for (int guard = 0; guard < 10; ++guard) {
    base::Found f = base::findFrom(text, "DEPLOY", offset);
    ASSERT_EQ(starts.size() + 1, f.match);
    EXPECT_EQ(4u, f.matches);
    EXPECT_EQ(600u, base::charCount(f.text));
    EXPECT_NE(std::string::npos, f.text.find("eploy"));
    starts.push_back(f.offset);
    if (!f.nextOffset) {
      break;
    }
    offset = *f.nextOffset;
  }
  EXPECT_EQ((std::vector<size_t>{3, 711, 1419, 2127}), starts);
  base::Found after = base::findFrom(text, "deploy", starts.back() + 1);
  EXPECT_EQ(0u, after.match);
  EXPECT_EQ("", after.text);
  EXPECT_EQ(0u, base::findFrom("short", "nope", 0).matches);
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
    ctx.find = [this](std::string_view n) { return ops::lookUp(n, ctx.running, ctx.finished); };
    std::string err;
    ASSERT_TRUE(groups::changeMembers(ctx.stateDir, "feat", groups::Change::Create,
                                      {"/w/api", "/w/web"}, &err))
        << err;
  }
  Json note(const std::string& text, const char* doc = nullptr) {
    return groups::opGroupNote(doc ? Json{{"text", text}, {"doc", doc}} : Json{{"text", text}},
                               ctx);
  }
  Json context(const Json& request) { return groups::opGroupContext(request, ctx); }
  cstest::TempHome home;
  ops::Context ctx;
};

TEST_F(GroupOps, NotesAreSignedAppendedOrReplacedAndReadBack) {
  EXPECT_EQ(R"({"ok":true,"group":"feat","doc":"decisions","total_chars":46})",
            note("use JSON lines").dump());
  note("keep ports < 9000\n");
  note("v1", "contract");
  EXPECT_EQ(R"({"ok":true,"group":"feat","doc":"contract","total_chars":3})",
            note("v2", "contract").dump());
  ctx.you = ctx.running[1];
  Json index = context({});
  EXPECT_EQ(
      R"([{"name":"ann","project":"api","state":"running"},{"name":"bob","project":"src","state":"running"},{"name":"old","project":"x","state":"finished"}])",
      index["members"].dump());
  EXPECT_EQ(R"({"doc":"contract","chars":3,"preview":"v2\n"})", index["docs"][0].dump());
  Json log = context({{"doc", "decisions"}, {"limit", 50}});
  EXPECT_EQ("## 2027-01-15T08:00:00Z — ann\n\nuse JSON lines\n\n## ", log["text"]);
  EXPECT_EQ(50, log["next_offset"]);
  Json found = context({{"doc", "decisions"}, {"find", "PORTS"}});
  EXPECT_EQ(1, found["match"]);
  EXPECT_EQ(83, found["offset"]);
  EXPECT_EQ(nullptr, found["next_offset"]);
  EXPECT_EQ("feat", context({{"name", "ann"}})["group"]);
}

TEST_F(GroupOps, RefusalsAndTheNotInAGroupAnswer) {
  const std::string notIn =
      R"({"error":"you are not in a work group","hint":"the user creates one with: channel-server group create NAME DIR..."})";
  ctx.you = ctx.running[2];
  EXPECT_EQ(notIn, context({}).dump());
  EXPECT_EQ(notIn, note("x").dump());
  ctx.you.reset();
  EXPECT_EQ(notIn, context({{"doc", "board"}}).dump());
  EXPECT_EQ(R"({"error":"eve is not in a work group"})", context({{"name", "eve"}}).dump());
  EXPECT_EQ(R"({"error":"no session called zed","sessions":["ann","bob","eve"]})",
            context({{"name", "zed"}}).dump());
  ctx.you = ctx.running[0];
  const Json bad[] = {{{"doc", "secrets"}}, {{"doc", 3}}, {{"find", "x"}}};
  for (const Json& req : bad) {
    EXPECT_EQ(R"({"error":"doc must be one of contract, decisions, questions, board"})",
              context(req).dump())
        << req.dump();
  }
  std::string err;
  using C = groups::Change;
  const std::pair<const char*, C> refused[] = {
      {"feat", C::Create}, {"bad name", C::Create}, {"other", C::Add}, {"", C::Create}};
  for (const auto& [name, change] : refused) {
    EXPECT_FALSE(groups::changeMembers(ctx.stateDir, name, change, {"/q"}, &err)) << name;
  }
  EXPECT_FALSE(groups::changeMembers(ctx.stateDir, "two", C::Create, {"/w/api"}, &err));
  EXPECT_EQ("/w/api já está no grupo feat", err);
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

// The user's own bytes, UTF-8 or not, and the modes they chose survive every note.
TEST_F(GroupOps, NotesKeepEarlierBytesAndTheFilesMode) {
  const std::string theirs = "caf\xe9 \xff\xfe notes by hand";  // Latin-1, no final line feed
  std::string decisions = ctx.stateDir + "/groups/feat/decisions.md";
  std::string contract = ctx.stateDir + "/groups/feat/contract.md";
  platform::removeFile(decisions);
  ASSERT_TRUE(platform::createFile(decisions, theirs, 0644, nullptr));
  ASSERT_EQ(0, ::chmod(contract.c_str(), 0640));
  ASSERT_TRUE(note("first").value("ok", false));
  ASSERT_TRUE(note("v2", "contract").value("ok", false));
  EXPECT_EQ(theirs + "\n\n## 2027-01-15T08:00:00Z — ann\n\nfirst\n",
            platform::readFile(decisions).value_or(""));
  EXPECT_EQ(S_IFREG | 0644u, cstest::modeOf(decisions));
  EXPECT_EQ(S_IFREG | 0640u, cstest::modeOf(contract));
}

// Two groups claiming one folder at once: exactly one gets it, every time.
TEST_F(GroupOps, OneFolderOneGroupUnderRacingChanges) {
  std::string err;
  ASSERT_TRUE(groups::changeMembers(ctx.stateDir, "other", groups::Change::Create, {}, &err));
  constexpr int FOLDERS = 60;
  cstest::inChildren(4, [&](int k) {
    for (int i = 0; i < FOLDERS; ++i) {
      std::string e;
      groups::changeMembers(ctx.stateDir, k % 2 == 0 ? "feat" : "other", groups::Change::Add,
                            {"/race/" + std::to_string(i)}, &e);
    }
    return true;
  });
  std::multiset<std::string> owned;
  for (const groups::Group& g : groups::loadGroups(ctx.stateDir)) {
    owned.insert(g.folders.begin(), g.folders.end());
  }
  EXPECT_EQ(FOLDERS + 2u, std::set<std::string>(owned.begin(), owned.end()).size());
  EXPECT_EQ(FOLDERS + 2u, owned.size());  // none in both groups
}

// ann's group is feat; eve, outside it, joins it at the end.
TEST_F(GroupOps, ScratchpadReadsSectionsFindsAndKeepsToTheGroup) {
  auto pad = [&](const Json& request) { return notes::opUserScratchpad(request, ctx); };
  EXPECT_EQ(R"({"notebooks":[]})", pad({}).dump());
  EXPECT_EQ("ann has no notebook", pad({{"outline", true}})["error"]);
  ASSERT_TRUE(platform::makeDirs(ctx.stateDir + "/notes"));
  std::string err;
  ASSERT_TRUE(platform::createFile(notes::notebookPath(ctx.stateDir, "/w/api"), NOTE, 0600, &err));
  ASSERT_TRUE(
      platform::createFile(notes::notebookPath(ctx.stateDir, "/elsewhere"), "x", 0600, &err));

  EXPECT_EQ(1u, pad({})["notebooks"].size());
  EXPECT_EQ(
      R"({"session":"ann","section":"Ops > Rollback","text":"## Rollback\npage ops\n","offset":0,"next_offset":null,"total_chars":21})",
      pad({{"section", "ops>rollback"}}).dump());
  EXPECT_EQ(R"(["Deploy > Rollback","Ops > Rollback"])",
            pad({{"section", "Rollback"}})["sections"].dump());
  const std::pair<const char*, Json> finds[] = {
      {"careful", "Deploy > Rollback > Prod #tag"}, {"PAGE", "Ops > Rollback"}, {"intro", nullptr}};
  for (const auto& [needle, heading] : finds) {
    EXPECT_EQ(heading, pad({{"session", "ann"}, {"find", needle}})["heading"]) << needle;
  }
  EXPECT_EQ("eve's notebook is neither yours nor your work group's",
            pad({{"session", "eve"}})["error"]);
  ASSERT_TRUE(
      groups::changeMembers(ctx.stateDir, "feat", groups::Change::Add, {"/elsewhere"}, &err));
  EXPECT_EQ(2u, pad({})["notebooks"].size());
  EXPECT_EQ("x", pad({{"session", "eve"}, {"limit", 1}})["text"]);
}

}  // namespace

// A folder whose encoded name passes NAME_MAX: the command and the tools still agree on its
// notebook, which opens in the user's editor.
TEST(WorkspaceCli, NotesOpenInTheUsersEditor) {
  cstest::TempHome home;
  std::string dir = home / (std::string(200, 'a') + "/" + std::string(60, 'b'));
  ASSERT_TRUE(platform::makeDirs(dir));
  std::string path = notes::notebookPath(home / ".corvane", platform::resolvePath(dir));
  struct Case {
    cstest::Env extra;
    int status;
    const char* text;
  };
  const Case cases[] = {
      {{{"EDITOR", "echo one >>"}}, 0, "one\n"},
      {{{"VISUAL", "echo two >>"}, {"EDITOR", "false"}}, 0, "one\ntwo\n"},
      {{{"VISUAL", "false"}}, 1, "one\ntwo\n"},
  };
  for (const Case& c : cases) {
    cstest::Env env = cstest::baseEnv(home.path());
    env.insert(c.extra.begin(), c.extra.end());
    auto child = cstest::Child::spawn({cstest::binaryPath(), "notes", dir}, env);
    EXPECT_EQ(c.status, child->wait());
    EXPECT_EQ(c.text, platform::readFile(path).value_or("missing"));
  }
  EXPECT_EQ(S_IFREG | 0600u, cstest::modeOf(path));
}

// What `group` says, in order, from a fresh HOME: each line names the cause.
TEST(WorkspaceCli, GroupCommandsSayWhatHappenedAndWhy) {
  cstest::TempHome home;
  std::string a = platform::resolvePath(home.path()) + "/a", b = a + "/b", file = home / "f";
  platform::makeDirs(b);
  std::ofstream(file) << "x";
  const std::string rule = " (de 1 a 64 letras, dígitos, - ou _, começando por letra ou dígito)\n";
  const std::pair<std::vector<std::string>, std::pair<int, std::string>> steps[] = {
      {{"create", "-x", a}, {2, "✗ nome de grupo inválido: -x" + rule}},
      {{"create", "x y", a}, {2, "✗ nome de grupo inválido: x y" + rule}},
      {{"create", "w", home / "none"},
       {1, "✗ pasta inválida: " + home / "none" + " (não existe)\n"}},
      {{"create", "w", file}, {1, "✗ pasta inválida: " + file + " (não é uma pasta)\n"}},
      {{"create", "w", a}, {0, "✓ grupo w criado com 1 pasta\n"}},
      {{"create", "w", b}, {1, "✗ o grupo w já existe\n"}},
      {{"add", "w", a}, {0, "ℹ️  " + a + " já está no grupo w\n"}},
      {{"create", "v", a}, {1, "✗ " + a + " já está no grupo w\n"}},
      {{"delete", "w"},
       {0, "✓ grupo w apagado; os documentos ficam em " + home / ".corvane/groups/w" +
               " (--documents apaga também)\n"}},
      {{"add", "w", a}, {1, "✗ não existe grupo w\n"}},
      {{"create", "w", a}, {0, "✓ grupo w criado com 1 pasta\n"}},
      {{"delete", "w", "--documents"}, {0, "✓ grupo w apagado, com os documentos\n"}},
      {{"delete", "w"}, {1, "✗ não existe grupo w\n"}},
  };
  for (const auto& [args, want] : steps) {
    SCOPED_TRACE(testing::PrintToString(args));
    std::vector<std::string> argv{cstest::binaryPath(), "group"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = cstest::Child::spawn(argv, cstest::baseEnv(home.path()));
    EXPECT_EQ(want, std::make_pair(child->wait().value_or(-1), child->readAllErr()));
    if (args[0] == "delete" && want.first == 0) {
      EXPECT_EQ(args.size() == 2, platform::exists(home / ".corvane/groups/w/decisions.md"));
    }
  }
}

// Long folders get a shortened notebook name, one per folder.
TEST(Notebook, LongFoldersGetAShortenedName) {
  // The cut falls at byte 234: on a "%2F" or a "é" there, or between two folders' "x" runs.
  std::set<std::string> names;
  const std::string x(30, 'x'), xs(300, 'x');
  for (const std::string& tail :
       {xs, xs + "y", std::string(229, 'x') + "/é" + x, std::string(230, 'x') + "/é" + x,
        std::string(230, 'x') + "é" + x}) {
    std::string name = notes::notebookPath("/s", "/" + tail).substr(9);
    EXPECT_TRUE(name.size() <= 255 && platform::isValidUtf8(name) &&
                name.find("%%~") == std::string::npos && name.find("%2%~") == std::string::npos)
        << name;
    names.insert(name);
  }
  EXPECT_EQ(5u, names.size());
}
