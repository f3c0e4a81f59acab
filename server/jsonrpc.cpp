#include "server/jsonrpc.h"

#include "base/json.h"
#include "base/log.h"
#include "base/version.h"
#include "outbox/outbox.h"
#include "server/output.h"
#include "tools/catalogue.h"

namespace server {
namespace {

const Json& objectMember(const Json& object, const char* key) {
  static const Json& empty = *new Json(Json::object());
  auto it = object.find(key);
  return it != object.end() && it->is_object() ? *it : empty;
}

std::string stringMember(const Json& object, const char* key, const std::string& fallback) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

Json reply(Json& id, const char* kind, Json value) {
  return {{"jsonrpc", "2.0"}, {"id", std::move(id)}, {kind, std::move(value)}};
}

Json answer(Json& id, Json result) {
  return reply(id, "result", std::move(result));
}

}  // namespace

const char* const INSTRUCTIONS =
    "corvane sees two things your own tools cannot.\n\n"
    "1. THE USER'S INTEGRATED TERMINAL: the shell they keep in the cockpit drawer of this card. "
    "`terminal_read` shows what is on it, scrollback included; `terminal_write` types into it "
    "without pressing Enter. That screen reaches your context NO other way -- what they type there "
    "is not in your history, and your Bash tool is a different shell in a different process. The "
    "user has many names for it and they ALL mean this same shell: integrated terminal, aggregated "
    "terminal, drawer, child terminal, the session's terminal, my terminal, the terminal, and in "
    "Portuguese `terminal integrado`, `terminal agregado`, `gaveta`, `terminal filho`, `terminal "
    "da sessão`, `meu terminal`, `o terminal`. \"The session's terminal\" is the shell attached to "
    "your card, never the TUI you are drawn inside. Any of those names, and any other phrasing "
    "pointing at a terminal, means these tools: not your Bash, and not a code block in your reply. "
    "DO NOT ASK FIRST. Not which terminal, not whether to write, not for permission. Typing is not "
    "submitting, so write it and say in one line where you put it. Asking spends a turn of theirs "
    "to avoid something that costs one keystroke to undo.\n\n"
    "2. WHAT THE OTHER SESSIONS ARE DOING: `list_sessions` and `session_activity` answer what they "
    "are working on and whether it is worth interrupting, which `ListAgents` does not.\n\n"
    "Everything here is read-only except `terminal_write`, and that one never submits, so the user "
    "reviews before anything runs.";

Outcome handleMessage(std::string_view line, const std::string& projectName, const Mode& mode,
                      const ToolCaller& callTool) {
  Outcome out;
  Json message = base::parseJson(line);
  if (message.is_discarded() || !message.is_object()) {
    return out;
  }
  auto method = message.find("method");
  if (method == message.end() || !method->is_string()) {
    return out;
  }
  auto idIt = message.find("id");
  if (idIt == message.end() || idIt->is_null()) {
    out.initialized = *method == "notifications/initialized";
    return out;
  }
  Json id = std::move(*idIt);
  const std::string name = method->get<std::string>();
  const Json& params = objectMember(message, "params");

  if (name == "initialize") {
    std::string proto = stringMember(params, "protocolVersion", base::DEFAULT_PROTOCOL);
    Json capabilities = mode.toolsOnly
                            ? Json{{"tools", Json::object()}}
                            : Json{{"experimental", {{"claude/channel", Json::object()}}}};
    Json result = {
        {"protocolVersion", proto},
        {"capabilities", std::move(capabilities)},
        {"serverInfo", {{"name", base::SERVER_NAME}, {"version", base::SERVER_VERSION}}}};
    if (mode.toolsOnly) {
      result["instructions"] = INSTRUCTIONS;
    }
    out.answer = answer(id, std::move(result));
    out.initialize = true;
    out.log = "MCP initialize (proto=" + proto + ") — " +
              (mode.toolsOnly ? "só-tools" : "canal declarado") + " (projeto: " + projectName + ")";
  } else if (name == "tools/list") {
    out.answer = answer(id, {{"tools", tools::exposedSessionTools(mode.warden)}});
  } else if (name == "tools/call") {
    std::string text =
        callTool(stringMember(params, "name", ""), objectMember(params, "arguments"));
    out.answer = answer(id, {{"content", Json::array({{{"type", "text"}, {"text", text}}})}});
  } else if (name == "resources/list") {
    out.answer = answer(id, {{"resources", Json::array()}});
  } else if (name == "prompts/list") {
    out.answer = answer(id, {{"prompts", Json::array()}});
  } else if (name == "ping") {
    out.answer = answer(id, Json::object());
  } else {
    out.answer = reply(id, "error", {{"code", -32601}, {"message", "Method not found: " + name}});
  }
  return out;
}

void handleLine(std::string_view line, const std::string& projectName, const Mode& mode,
                const ToolCaller& callTool) {
  // Only the one handling thread calls this.
  static bool answeredInitialize = false;
  Outcome out = handleMessage(line, projectName, mode, callTool);
  if (out.answer) {
    emit(*out.answer);
  }
  if (out.log) {
    base::logErr(*out.log);
  }
  answeredInitialize = answeredInitialize || out.initialize;
  if (out.initialized && answeredInitialize) {
    outbox::markReady();
  }
}

}  // namespace server
