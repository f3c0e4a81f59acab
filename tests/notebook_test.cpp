#include "notes/notebook.h"

#include "companion/names.h"
#include "groups/group_store.h"
#include "notes/scratchpad_ops.h"
#include "platform/files.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using base::Json;

const char* NOTE =
    "intro\n"
    "# Deploy\n"
    "steps\n"
    "```sh\n"
    "# not a heading\n"
    "~~~\n"
    "## still code\n"
    "```\n"
    "## Rollback ##\n"
    "undo it\n"
    "  ### Prod #tag\n"
    "careful\n"
    "~~~~\n"
    "# code too\n"
    "~~~~~\n"
    "#nospace\n"
    "####### seven\n"
    "# Ops\n"
    "## Rollback\n"
    "page ops\n";

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

TEST(Notebook, ScratchpadReadsSectionsFindsAndKeepsToTheGroup) {
  cstest::TempHome home;
  companion::Context ctx;
  ctx.stateDir = home / ".corvane";
  ctx.running = {{"ann", "a1", "/w/api", "api", "", 11, true, ""},
                 {"eve", "e1", "/elsewhere", "elsewhere", "", 13, true, ""}};
  ctx.you = ctx.running[0];
  ctx.find = [&](std::string_view n) { return companion::lookUp(n, ctx.running, ctx.finished); };
  EXPECT_EQ(R"({"notebooks":[]})", notes::opUserScratchpad({}, ctx).dump());
  EXPECT_EQ("ann has no notebook", notes::opUserScratchpad({{"outline", true}}, ctx)["error"]);
  ASSERT_TRUE(platform::makeDirs(ctx.stateDir + "/notes"));
  std::string err;
  ASSERT_TRUE(platform::createFile(notes::notebookPath(ctx.stateDir, "/w/api"), NOTE, 0600, &err));
  ASSERT_TRUE(
      platform::createFile(notes::notebookPath(ctx.stateDir, "/elsewhere"), "x", 0600, &err));

  EXPECT_EQ(1u, notes::opUserScratchpad({}, ctx)["notebooks"].size());
  EXPECT_EQ(
      R"({"session":"ann","section":"Ops > Rollback","text":"## Rollback\npage ops\n","offset":0,"next_offset":null,"total_chars":21})",
      notes::opUserScratchpad({{"section", "ops>rollback"}}, ctx).dump());
  EXPECT_EQ(R"(["Deploy > Rollback","Ops > Rollback"])",
            notes::opUserScratchpad({{"section", "Rollback"}}, ctx)["sections"].dump());
  const std::pair<const char*, Json> finds[] = {
      {"careful", "Deploy > Rollback > Prod #tag"}, {"PAGE", "Ops > Rollback"}, {"intro", nullptr}};
  for (const auto& [needle, heading] : finds) {
    SCOPED_TRACE(needle);
    EXPECT_EQ(heading,
              notes::opUserScratchpad({{"session", "ann"}, {"find", needle}}, ctx)["heading"]);
  }
  EXPECT_EQ("eve's notebook is neither yours nor your work group's",
            notes::opUserScratchpad({{"session", "eve"}}, ctx)["error"]);
  ASSERT_TRUE(
      groups::changeMembers(ctx.stateDir, "g", groups::Change::Create, {"/w", "/elsewhere"}, &err));
  EXPECT_EQ(2u, notes::opUserScratchpad({}, ctx)["notebooks"].size());
  EXPECT_EQ("x", notes::opUserScratchpad({{"session", "eve"}, {"limit", 1}}, ctx)["text"]);
}

}  // namespace

TEST(WorkspaceCli, NotesOpenInTheUsersEditorAndGroupNamesAreChecked) {
  cstest::TempHome home;
  std::string dir = home / "proj";
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

  auto create = cstest::Child::spawn({cstest::binaryPath(), "group", "create", "x y", dir},
                                     cstest::baseEnv(home.path()));
  EXPECT_EQ(1, create->wait());
  EXPECT_NE(std::string::npos, create->readAllErr().find("x y"));
}
