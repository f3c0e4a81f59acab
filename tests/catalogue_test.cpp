#include "tools/catalogue.h"

#include "companion/op_table.h"
#include "ops/ops.h"
#include "ops/tool_table.h"
#include "query/client.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <tuple>

namespace {

using base::Json;

// The fixed texts, each known by its byte count and pinned by its FNV-1a hash; a failure prints
// the text to compare with the wording it must have. Arguments: key:type, "!" when required (in
// this order), "=" and the enum's values.
struct ToolText {
  const char* name;
  const char* arguments;
  size_t bytes;
  uint64_t hash;
};
const ToolText TOOLS[] = {
    {"list_sessions", "", 329, 0x5f41d646072c572c},
    {"session_activity", "name:string!", 164, 0xd259e38bf757251c},
    {"session_cost", "name:string!", 267, 0x04a400d105f89be1},
    {"group_context",
     "name:string doc:string=contract|decisions|questions|board find:string offset:integer "
     "limit:integer",
     464, 0xc7091fd056f4ba81},
    {"user_scratchpad",
     "session:string outline:boolean section:string find:string offset:integer limit:integer", 917,
     0x64e28be4666f2e69},
    {"group_note", "text:string! doc:string=decisions|contract|questions|board", 385,
     0xe774ffdb606f85c3},
    {"check_conflicts", "name:string", 414, 0xa2f87fa610918fe7},
    {"lease_acquire", "resource:string! reason:string! ttl_s:number", 670, 0xe77e55b8a43b4fd4},
    {"lease_release", "resource:string!", 163, 0x40616bca2545b534},
    {"lease_status", "resource:string", 180, 0x8059b472de2a2a83},
    {"session_files", "name:string!", 158, 0x398a0ce67b802ab3},
    {"terminal_read", "terminal:string lines:integer", 1893, 0x36e7b286dcee85a6},
    {"terminal_write", "terminal:string! text:string!", 2377, 0xec9cb501a40173ba},
};

const std::tuple<const char*, const char*, size_t, uint64_t> ARGUMENTS[] = {
    {"session_activity", "name", 79, 0xec6faa19629c2e94},
    {"session_cost", "name", 79, 0xec6faa19629c2e94},
    {"group_context", "name", 62, 0xb4ea765b2ffd8949},
    {"group_context", "doc", 116, 0x6037d77f28ee2044},
    {"group_context", "find", 146, 0x90c6b237bd66750a},
    {"group_context", "offset", 86, 0x917613f52174f04d},
    {"group_context", "limit", 30, 0xddb1656428e01d39},
    {"user_scratchpad", "session", 107, 0xa6e7d526070a3707},
    {"user_scratchpad", "outline", 137, 0x387a2f9da1d3c82a},
    {"user_scratchpad", "section", 129, 0xfec99af4c8650d67},
    {"user_scratchpad", "find", 138, 0xdc0c5b0ea0fa68f1},
    {"user_scratchpad", "offset", 86, 0x917613f52174f04d},
    {"user_scratchpad", "limit", 30, 0xddb1656428e01d39},
    {"group_note", "text", 38, 0xe0ce342137d59d79},
    {"group_note", "doc", 40, 0x5c18e142d78e54d5},
    {"check_conflicts", "name", 66, 0x7b4efb7df7aec247},
    {"lease_acquire", "resource", 48, 0x12eb21cc109506c9},
    {"lease_acquire", "reason", 57, 0x151d25eb3e999024},
    {"lease_acquire", "ttl_s", 46, 0xe66dc30a9f6f31dc},
    {"lease_release", "resource", 29, 0xd03449b327b89d7a},
    {"lease_status", "resource", 34, 0x60528e213cfa247d},
    {"session_files", "name", 79, 0xec6faa19629c2e94},
    {"terminal_read", "terminal", 106, 0xc43afa59bd567131},
    {"terminal_read", "lines", 114, 0x41ea10b70eedc98a},
    {"terminal_write", "terminal", 54, 0x3143d2c383b4ece5},
    {"terminal_write", "text", 45, 0x9b82f7c13d41eb91},
};

// The text's byte count and hash, printed with the text itself when they differ.
testing::AssertionResult isText(size_t bytes, uint64_t hash, const Json& text) {
  std::string s = text.is_string() ? text.get<std::string>() : text.dump();
  uint64_t h = 0xcbf29ce484222325;
  for (unsigned char c : s) {
    h = (h ^ c) * 0x100000001b3;
  }
  if (s.size() == bytes && h == hash) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << s.size() << " bytes, hash " << std::hex << h << ": " << s;
}

std::string argumentsOf(const Json& schema) {
  std::string out;
  for (const auto& [key, p] : schema["properties"].items()) {
    out += (out.empty() ? "" : " ") + key + ":" + p["type"].get<std::string>();
    for (const auto& r : schema["required"]) {
      out += r == key ? "!" : "";
    }
    for (size_t i = 0; p.contains("enum") && i < p["enum"].size(); ++i) {
      out += (i == 0 ? "=" : "|") + p["enum"][i].get<std::string>();
    }
  }
  return out;
}

TEST(Catalogue, NamesDescriptionsAndArgumentsAsFixed) {
  const Json& all = tools::sessionTools();
  ASSERT_EQ(std::size(TOOLS), all.size());
  size_t argument = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    const Json& tool = all[i];
    SCOPED_TRACE(TOOLS[i].name);
    EXPECT_EQ(3u, tool.size());
    EXPECT_EQ(TOOLS[i].name, tool["name"]);
    EXPECT_TRUE(isText(TOOLS[i].bytes, TOOLS[i].hash, tool["description"]));
    EXPECT_EQ("object", tool["inputSchema"]["type"]);
    EXPECT_EQ(TOOLS[i].arguments, argumentsOf(tool["inputSchema"]));
    for (const auto& [key, p] : tool["inputSchema"]["properties"].items()) {
      ASSERT_LT(argument, std::size(ARGUMENTS));
      const auto& [name, wantKey, bytes, hash] = ARGUMENTS[argument++];
      EXPECT_EQ(std::string(name) + " " + wantKey, std::string(TOOLS[i].name) + " " + key);
      EXPECT_TRUE(isText(bytes, hash, p["description"])) << key;
    }
  }
  EXPECT_EQ(std::size(ARGUMENTS), argument);
}

// What the three readers of the table rely on: a tool and an op name one row each, every op
// answered by a handler, every argument a key with one type that a request carries.
TEST(ToolTable, EveryRowIsWholeAndEveryOpHasItsHandler) {
  leases::LeaseStore store;
  ops::OpTable ops = companion::allOps(store);
  std::set<std::string> names, opNames, argKeysUsed;
  for (const ops::ToolRow& row : ops::toolTable()) {
    SCOPED_TRACE(row.name);
    EXPECT_TRUE(names.insert(row.name).second);
    EXPECT_TRUE(opNames.insert(row.op).second);
    EXPECT_TRUE(ops.contains(row.op));
    EXPECT_EQ(row.op, query::opFor(row.name));
    for (const ops::ToolArg& arg : row.args) {
      const ops::ArgKey* key = ops::argKeyNamed(arg.key);
      ASSERT_NE(nullptr, key) << arg.key;
      EXPECT_TRUE(arg.choices.empty() || key->type == ops::ArgType::String) << arg.key;
      argKeysUsed.insert(arg.key);
    }
  }
  for (const auto& [op, handler] : ops) {  // the status line asks the one op no tool offers
    EXPECT_TRUE(opNames.contains(op) || op == "statusline") << "a handler without a tool: " << op;
  }
  std::set<std::string> forwarded;
  for (const ops::ArgKey& key : ops::argKeys()) {
    forwarded.insert(key.key);
  }
  EXPECT_EQ(argKeysUsed, forwarded);
}

TEST(ToolTable, AnArgumentOfAnotherTypeIsNamedInTheError) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      // op, request, error ("" for none)
      {"activity", R"({"name":123})", "name must be a string, not a number"},
      {"cost", R"({"name":null})", "name must be a string, not null"},
      {"files", R"({"name":["a"]})", "name must be a string, not a list"},
      {"user_scratchpad", R"({"session":"s","outline":1})",
       "outline must be a boolean, not a number"},
      {"group_context", R"({"offset":3.5})", "offset must be an integer, not a number"},
      {"terminal_read", R"({"lines":"50"})", "lines must be an integer, not a string"},
      {"terminal_write", R"({"terminal":"t","text":{}})", "text must be a string, not an object"},
      {"group_context", R"({"offset":3.0,"limit":-2,"doc":"board"})", ""},
      {"lease_acquire", R"({"resource":"r","reason":"x","ttl_s":"90"})", ""},  // means the default
      {"list", R"({"name":123})", ""},  // not an argument of list_sessions
      {"activity", R"({})", ""},
  };
  for (const auto& [op, request, error] : cases) {
    SCOPED_TRACE(request);
    auto got = ops::wrongTypeError(op, Json::parse(request));
    EXPECT_EQ(std::string(error), got ? (*got)["error"].get<std::string>() : "");
  }
}

}  // namespace
