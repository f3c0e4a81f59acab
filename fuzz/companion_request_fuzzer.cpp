// Request lines through the companion's parser and its session ops over a small fixed machine:
// whatever the line, one answer of one line, and no fault.

#include "ops/ops.h"
#include "sessions/names.h"
#include "sessions/session_data.h"

#include <cstdint>
#include <string_view>

namespace {

using namespace ops;

struct Machine {
  std::vector<LiveSession> live;
  std::vector<TranscriptSummary> transcripts;
  Machine() {
    live.push_back({10, "aaaa1111", "/w/a", 100, "alpha", "busy", "a tool", 200, ""});
    live.push_back({11, "aaab2222", "/w/b", 100, "", "idle", {}, 200, ""});
    for (const char* id : {"aaaa1111", "aaab2222", "cccc3333", "cccc4444"}) {
      TranscriptSummary t;
      t.sessionId = id;
      t.cwd = id[0] == 'a' ? "/w/a" : "/w/c";
      t.aiTitle = "Alpha";
      t.lastActivityMillis = 300;
      t.usage[{"claude-x", "main", "", false}] = {{10, 20, 0, 0, 5}, 2};
      t.files["/w/a/f.cpp"] = {3, 250, {{"Edit", 3}}};
      t.recentTools.push_back({"Edit", "/w/a/f.cpp", "u1", 250, true});
      transcripts.push_back(std::move(t));
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Machine machine;
  static const OpTable ops = sessionOps();
  SessionData sessions(machine.live, machine.transcripts, {10}, [](const auto&, const auto& t) {
    return t.input == 0 ? std::nullopt : std::optional<double>(1e-6 * t.input);
  });
  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    size_t end = input.find('\n');
    std::string_view line = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    Json answer;
    auto request = parseRequest(line, &answer);
    if (request) {
      Context ctx;
      buildContext(request->callerPid, sessions, "/state", 1'800'000'000'000, &ctx);
      answer = dispatch(ops, *request, ctx);
    }
    if (answerText(answer).find('\n') != std::string::npos) {
      __builtin_trap();
    }
  }
  return 0;
}
