#include "terminal/ops.h"

#include "base/text.h"
#include "platform/files.h"
#include "terminal/control.h"
#include "terminal/records.h"

#include <algorithm>
#include <cmath>
#include <system_error>
#include <thread>

namespace terminal {
namespace {

using ops::Context;

constexpr size_t INDEX_LINES = 6;
constexpr size_t NAMED_LINES = 120;
constexpr size_t MAX_LINES = 600;
constexpr size_t MIN_ID_PREFIX = 4;
constexpr const char* HINT = "open one with: channel-server shell";
constexpr const char* ENDED = "the shell has ended";
// Each terminal's own bound: a stopped or stuck one costs only its answer.
constexpr std::chrono::milliseconds READ_LIMIT{500};
constexpr std::chrono::milliseconds WRITE_LIMIT{1000};
constexpr size_t MAX_PARALLEL = 16;

bool sameFolder(const std::string& a, const std::string& b) {
  if (a == b) {
    return true;
  }
  std::string ra = platform::resolvePath(a);
  return !ra.empty() && ra == platform::resolvePath(b);
}

// The caller's terminals: those open in its folder. A caller that is no session has none.
std::vector<Record> yours(const Context& ctx) {
  std::vector<Record> out;
  if (!ctx.you) {
    return out;
  }
  for (Record& r : listTerminals(ctx.stateDir)) {
    if (sameFolder(r.folder, ctx.you->cwd)) {
      out.push_back(std::move(r));
    }
  }
  return out;
}

size_t lineCount(const Json& request, size_t fallback) {
  auto it = request.find("lines");
  if (it == request.end() || !it->is_number()) {
    return fallback;
  }
  double n = it->get<double>();
  if (!(n >= 1)) {
    return fallback;
  }
  return n >= static_cast<double>(MAX_LINES) ? MAX_LINES : static_cast<size_t>(std::floor(n));
}

Json names(const std::vector<Record>& records) {
  Json out = Json::array();
  for (const Record& r : records) {
    out.push_back(r.name);
  }
  return out;
}

bool idPrefix(const std::string& id, const std::string& prefix) {
  return prefix.size() >= MIN_ID_PREFIX && prefix.size() <= id.size() &&
         std::equal(prefix.begin(), prefix.end(), id.begin(),
                    [](char a, char b) { return base::asciiLower(a) == base::asciiLower(b); });
}

// The one of `records` that `wanted` names (exact name, else unique id prefix), or the refusal.
const Record* pick(const std::vector<Record>& records, const std::string& wanted, Json* error) {
  for (const Record& r : records) {
    if (r.name == wanted) {
      return &r;
    }
  }
  std::vector<const Record*> hits;
  for (const Record& r : records) {
    if (idPrefix(r.id, wanted)) {
      hits.push_back(&r);
    }
  }
  if (hits.size() == 1) {
    return hits[0];
  }
  *error = Json{{"error", hits.empty() ? wanted + " is not one of your terminals"
                                       : wanted + " matches several of your terminals"},
                {"terminals", names(records)}};
  return nullptr;
}

// The terminal's last lines, or nullopt and *reason when it is not running.
std::optional<Json> readLines(const Record& r, size_t n, std::string* reason) {
  if (!terminalAlive(r)) {
    *reason = ENDED;
    return std::nullopt;
  }
  std::string err;
  auto answer = askTerminal(r.controlSocket, Json{{"op", "read"}, {"lines", n}}, READ_LIMIT, &err);
  if (!answer || !answer->contains("lines") || !(*answer)["lines"].is_array()) {
    *reason = "the terminal does not answer: " + (answer ? std::string("bad answer") : err);
    return std::nullopt;
  }
  return (*answer)["lines"];
}

struct Reading {
  std::optional<Json> lines;
  std::string reason;
};

// Every record asked at once (MAX_PARALLEL at a time), so the slowest sets the wait, not the sum.
std::vector<Reading> readAll(const std::vector<Record>& records, size_t n) {
  std::vector<Reading> out(records.size());
  auto one = [&](size_t i) {
    // On a thread of its own, a throw would end the process: it stays this terminal's answer.
    try {
      out[i].lines = readLines(records[i], n, &out[i].reason);
    } catch (const std::exception& e) {
      out[i].reason = e.what();
    }
  };
  for (size_t start = 0; start < records.size(); start += MAX_PARALLEL) {
    std::vector<std::thread> threads;
    for (size_t i = start; i < std::min(records.size(), start + MAX_PARALLEL); ++i) {
      try {
        threads.emplace_back(one, i);
      } catch (const std::system_error&) {
        one(i);  // no thread to be had: this one waits its turn
      }
    }
    for (std::thread& t : threads) {
      t.join();
    }
  }
  return out;
}

Json none() {
  return Json{{"terminals", Json::array()}, {"hint", HINT}};
}

}  // namespace

Json terminalRead(const Json& request, const Context& ctx) {
  std::vector<Record> mine = yours(ctx);
  if (mine.empty()) {
    return none();
  }
  if (request.contains("terminal") && !request["terminal"].is_null()) {
    auto wanted = base::stringArg(request, "terminal");
    if (!wanted) {
      return Json{{"error", "terminal must be a string"}};
    }
    Json error;
    const Record* r = pick(mine, *wanted, &error);
    if (r == nullptr) {
      return error;
    }
    std::string reason;
    auto lines = readLines(*r, lineCount(request, NAMED_LINES), &reason);
    if (!lines) {
      return Json{
          {"terminal", r->name}, {"running", false}, {"lines", nullptr}, {"reason", reason}};
    }
    return Json{{"terminal", r->name}, {"running", true}, {"lines", std::move(*lines)}};
  }
  std::vector<Reading> read = readAll(mine, lineCount(request, INDEX_LINES));
  Json list = Json::array();
  for (size_t i = 0; i < mine.size(); ++i) {
    Reading& got = read[i];
    Json entry{{"name", mine[i].name},
               {"id", mine[i].id},
               {"running", got.lines.has_value()},
               {"last_lines", got.lines ? std::move(*got.lines) : Json(nullptr)}};
    if (!got.lines) {
      entry["reason"] = got.reason;
    }
    list.push_back(std::move(entry));
  }
  return Json{{"terminals", std::move(list)}};
}

Json terminalWrite(const Json& request, const Context& ctx) {
  auto text = base::stringArg(request, "text");
  if (!text) {
    return Json{{"error", "text must be a string"}};
  }
  if (text->find_first_of("\r\n") != std::string::npos) {
    return Json{{"error", "text must be one line; a newline would run it"}};
  }
  std::vector<Record> mine = yours(ctx);
  std::erase_if(mine, [](const Record& r) { return !terminalAlive(r); });
  if (mine.empty()) {
    return Json{{"error", "you have no terminal open"}, {"hint", HINT}};
  }
  auto wanted = base::stringArg(request, "terminal");
  Json error;
  const Record* r = nullptr;
  if (wanted) {
    r = pick(mine, *wanted, &error);
  } else if (mine.size() == 1) {
    r = &mine[0];
  } else {
    error = Json{{"error", "name the terminal: you have several"}, {"terminals", names(mine)}};
  }
  if (r == nullptr) {
    return error;
  }
  if (auto why = typingError(*text)) {
    return Json{{"error", *why}};
  }
  std::string err;
  auto answer =
      askTerminal(r->controlSocket, Json{{"op", "type"}, {"text", *text}}, WRITE_LIMIT, &err);
  if (!answer) {
    return Json{{"error", "terminal " + r->name + " does not answer: " + err}};
  }
  if (!answer->value("ok", false)) {
    Json refused{{"error", answer->value("error", std::string("the terminal refused the text"))}};
    if (answer->contains("foreground")) {
      refused["foreground"] = (*answer)["foreground"];
    }
    return refused;
  }
  return Json{{"ok", true}, {"terminal", r->name}, {"typed_chars", (*answer)["typed_chars"]}};
}

}  // namespace terminal
