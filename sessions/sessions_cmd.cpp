#include "sessions/sessions_cmd.h"

#include "base/log.h"
#include "base/terminal_text.h"
#include "base/text.h"
#include "base/time_text.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "platform/text.h"
#include "query/client.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace sessions {
namespace {

constexpr size_t NAME_MAX_CHARS = 32;
constexpr size_t PROJECT_MAX_CHARS = 24;
constexpr size_t WORKING_ON_MIN = 16;
constexpr size_t FOOTNOTE_NAMES_MAX_CHARS = 120;

using base::charCount;

// At most `max` characters; the last one "…" when something was cut.
std::string fit(const std::string& s, size_t max) {
  return charCount(s) <= max || max == 0 ? s : base::cutChars(s, max - 1, "…");
}

std::string field(const Json& s, const char* key) {
  auto it = s.find(key);
  return it != s.end() && it->is_string() ? it->get<std::string>() : "";
}

// A field as the table shows it: from data, so its controls are shown escaped.
std::string shown(const Json& s, const char* key) {
  return base::terminalSafe(field(s, key));
}

std::string oneLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r' || c == '\t'; }, ' ');
  return text;
}

// The companion's English words for a state or status, as a person reads them here.
std::string inWords(const std::string& word) {
  static constexpr std::pair<std::string_view, std::string_view> WORDS[] = {
      {"running", "em curso"}, {"finished", "terminada"}, {"busy", "ocupada"},
      {"idle", "ociosa"},      {"waiting", "esperando"},
  };
  for (const auto& [en, pt] : WORDS) {
    if (word == en) {
      return std::string(pt);
    }
  }
  return oneLine(word);
}

std::string money(const SessionCost* cost) {
  if (cost == nullptr) {
    return "-";
  }
  char buf[32];
  std::snprintf(buf, sizeof(buf), "$%.2f", cost->usd);
  return cost->unpriced.empty() ? buf : "≥" + std::string(buf) + "*";
}

// One line naming the models that partial costs leave out, and where their prices go.
std::string footnote(const std::set<std::string>& unpriced) {
  if (unpriced.empty()) {
    return "";
  }
  std::string names;
  for (const std::string& model : unpriced) {
    names += (names.empty() ? "" : ", ") + base::terminalSafe(model);
  }
  return "* custo parcial: sem preço para " + fit(names, FOOTNOTE_NAMES_MAX_CHARS) +
         "; adicione-os a ~/.corvane/prices.json\n";
}

int64_t nowMillis() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The companion's error in one line, or why it cannot run at all when ~/.corvane cannot be made.
std::string whyUnavailable(const Json& answer) {
  std::string dir = platform::homeDir() + "/.corvane";
  if (!platform::makeDirs(dir) || !platform::isWritable(dir)) {
    return "não consigo escrever em " + dir + " (" + std::strerror(errno) +
           "); o companheiro precisa dessa pasta";
  }
  std::string error = answer.is_object() ? field(answer, "error") : std::string();
  if (error.find("not running") != std::string::npos) {
    return "o companheiro não iniciou; veja " + dir + "/companion.log";
  }
  return error.empty() ? "resposta inválida do companheiro" : oneLine(error);
}

}  // namespace

std::string relativeTime(std::optional<int64_t> thenMillis, int64_t nowMillis) {
  if (!thenMillis) {
    return "-";
  }
  int64_t s = std::max<int64_t>(0, (nowMillis - *thenMillis) / 1000);
  if (s < 5) {
    return "agora";
  }
  if (s < 60) {
    return "há " + std::to_string(s) + " s";
  }
  if (s < 3600) {
    return "há " + std::to_string(s / 60) + " min";
  }
  if (s < 86400) {
    return "há " + std::to_string(s / 3600) + " h";
  }
  return "há " + std::to_string(s / 86400) + " d";
}

std::string formatSessions(const Json& list, const std::map<std::string, SessionCost>& costs,
                           int64_t nowMillis, int64_t sinceMillis, size_t width, size_t* hidden) {
  std::set<std::string> unpriced;
  std::vector<std::vector<std::string>> rows = {
      {"NOME", "ESTADO", "SITUAÇÃO", "PROJETO", "ÚLTIMA ATIVIDADE", "CUSTO", "FAZENDO"}};
  auto sessions = list.find("sessions");
  if (sessions != list.end() && sessions->is_array()) {
    for (const Json& s : *sessions) {
      if (!s.is_object()) {
        continue;
      }
      Json at = s.value("last_activity", Json());
      int64_t lastMillis = at.is_string() ? base::parseIsoMillis(at.get<std::string>()) : 0;
      auto last = lastMillis != 0 ? std::optional(lastMillis) : std::nullopt;
      bool running = field(s, "state") == "running";
      if (!running && sinceMillis != 0 && (!last || *last < sinceMillis)) {
        if (hidden != nullptr) {
          ++*hidden;
        }
        continue;
      }
      auto cost = costs.find(field(s, "id"));
      if (cost != costs.end()) {
        unpriced.insert(cost->second.unpriced.begin(), cost->second.unpriced.end());
      }
      rows.push_back({fit(shown(s, "name"), NAME_MAX_CHARS),
                      base::terminalSafe(inWords(field(s, "state"))),
                      running ? base::terminalSafe(inWords(field(s, "status"))) : "-",
                      fit(shown(s, "project"), PROJECT_MAX_CHARS), relativeTime(last, nowMillis),
                      money(cost == costs.end() ? nullptr : &cost->second),
                      base::terminalSafe(oneLine(field(s, "working_on")))});
    }
  }
  std::vector<size_t> widths(rows[0].size() - 1, 0);
  for (const auto& row : rows) {
    for (size_t c = 0; c < widths.size(); ++c) {
      widths[c] = std::max(widths[c], charCount(row[c]));
    }
  }
  size_t used = 0;
  for (size_t w : widths) {
    used += w + 2;
  }
  std::string out;
  for (auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < widths.size(); ++c) {
      line += row[c] + std::string(widths[c] - charCount(row[c]) + 2, ' ');
    }
    line += width > 0 ? fit(row.back(), std::max(WORKING_ON_MIN, width > used ? width - used : 0))
                      : row.back();
    while (!line.empty() && line.back() == ' ') {
      line.pop_back();
    }
    out += line + "\n";
  }
  return out + footnote(unpriced);
}

std::string channelNames(const Json& list) {
  std::string out;
  auto sessions = list.find("sessions");
  if (sessions == list.end() || !sessions->is_array()) {
    return out;
  }
  for (const Json& s : *sessions) {
    if (s.is_object() && field(s, "state") == "running" && s.value("channel", false) == true) {
      out += base::terminalSafe(oneLine(field(s, "name"))) + "\n";
    }
  }
  return out;
}

int runSessions(const std::vector<std::string>& args) {
  bool json = false, names = false, all = false;
  long long days = -1;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--json" || args[i] == "--names" || args[i] == "--all") {
      (args[i] == "--json" ? json : args[i] == "--names" ? names : all) = true;
    } else if (args[i] == "--since" && i + 1 < args.size() &&
               platform::parseDecimal(args[i + 1], &days) && days >= 0 && days <= 36500) {
      ++i;
    } else {
      base::logErr("uso: channel-server sessions [--all | --since DIAS] [--json]");
      return 2;
    }
  }
  std::string answer = query::callSessionTool("list_sessions", Json::object());
  Json list = base::parseJson(answer);
  if (!list.is_object() || list.contains("error")) {
    base::logErr("✗ sessões indisponíveis: " + base::terminalSafe(whyUnavailable(list)));
    return 1;
  }
  if (json || names) {
    // JSON with every character past ASCII as a \u escape: no control reaches the terminal.
    answer =
        json ? list.dump(-1, ' ', true, Json::error_handler_t::replace) + "\n" : channelNames(list);
    return platform::writeAll(STDOUT_FILENO, answer.data(), answer.size()) ? 0 : 1;
  }
  std::map<std::string, SessionCost> costs;
  for (const Json& s : list["sessions"]) {
    std::string id = field(s, "id");
    Json cost = base::parseJson(query::callSessionTool("session_cost", {{"name", id}}));
    if (!cost.is_object()) {
      continue;
    }
    Json whole = cost.value("usd", Json()), known = cost.value("usd_known", Json());
    Json unpriced = cost.value("unpriced_models", Json());
    if (whole.is_number()) {
      costs[id] = {whole.get<double>(), {}};
    } else if (known.is_number() && unpriced.is_array() && !unpriced.empty()) {
      SessionCost& partial = costs[id] = {known.get<double>(), {}};
      for (const Json& model : unpriced) {
        partial.unpriced.push_back(model.is_string() ? model.get<std::string>() : "?");
      }
    }
  }
  winsize ws{};
  size_t width =
      ::isatty(STDOUT_FILENO) && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
  int64_t now = nowMillis();
  int64_t since = all ? 0 : days >= 0 ? now - days * 86400000LL : base::localDayStartMillis(now);
  size_t hidden = 0;
  std::string table = formatSessions(list, costs, now, since, width, &hidden);
  auto more = list.find("more");
  hidden += more != list.end() && more->is_number_unsigned() ? more->get<size_t>() : 0;
  if (!platform::writeAll(STDOUT_FILENO, table.data(), table.size())) {
    return 1;
  }
  if (hidden > 0) {
    base::logErr("(" + std::to_string(hidden) +
                 (hidden == 1 ? " sessão mais antiga oculta" : " sessões mais antigas ocultas") +
                 (all ? ": o companheiro lista as dos últimos 7 dias, até 40)"
                      : "; --all mostra as dos últimos 7 dias, --since DIAS escolhe)"));
  }
  return 0;
}

}  // namespace sessions
