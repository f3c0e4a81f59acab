#include "tools/sessions_cmd.h"

#include "base/log.h"
#include "base/text.h"
#include "base/time_text.h"
#include "platform/posix.h"
#include "tools/app_client.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tools {
namespace {

constexpr size_t NAME_MAX_CHARS = 32;
constexpr size_t PROJECT_MAX_CHARS = 24;
constexpr size_t WORKING_ON_MIN = 16;

using base::charCount;

// At most `max` characters; the last one "…" when something was cut.
std::string fit(const std::string& s, size_t max) {
  return charCount(s) <= max || max == 0 ? s : base::cutChars(s, max - 1, "…");
}

std::string field(const Json& s, const char* key) {
  auto it = s.find(key);
  return it != s.end() && it->is_string() ? it->get<std::string>() : "";
}

std::string oneLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r' || c == '\t'; }, ' ');
  return text;
}

std::string money(const std::optional<double>& usd) {
  if (!usd) {
    return "-";
  }
  char buf[32];
  std::snprintf(buf, sizeof(buf), "$%.2f", *usd);
  return buf;
}

int64_t nowMillis() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t localMidnightMillis(int64_t now) {
  std::time_t secs = static_cast<std::time_t>(now / 1000);
  std::tm tm{};
  ::localtime_r(&secs, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm)) * 1000;
}

}  // namespace

std::string relativeTime(std::optional<int64_t> thenMillis, int64_t nowMillis) {
  if (!thenMillis) {
    return "-";
  }
  int64_t s = std::max<int64_t>(0, (nowMillis - *thenMillis) / 1000);
  if (s < 5) {
    return "just now";
  }
  if (s < 60) {
    return std::to_string(s) + "s ago";
  }
  if (s < 3600) {
    return std::to_string(s / 60) + "m ago";
  }
  if (s < 86400) {
    return std::to_string(s / 3600) + "h ago";
  }
  return std::to_string(s / 86400) + "d ago";
}

std::string formatSessions(const Json& list,
                           const std::map<std::string, std::optional<double>>& usd,
                           int64_t nowMillis, int64_t todayStartMillis, size_t width) {
  std::vector<std::vector<std::string>> rows = {
      {"NAME", "STATE", "STATUS", "PROJECT", "LAST ACTIVITY", "COST", "WORKING ON"}};
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
      if (!running && (!last || *last < todayStartMillis)) {
        continue;
      }
      auto cost = usd.find(field(s, "id"));
      rows.push_back({fit(field(s, "name"), NAME_MAX_CHARS), field(s, "state"), field(s, "status"),
                      fit(field(s, "project"), PROJECT_MAX_CHARS), relativeTime(last, nowMillis),
                      money(cost == usd.end() ? std::nullopt : cost->second),
                      oneLine(field(s, "working_on"))});
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
  return out;
}

int runSessions(const std::vector<std::string>& args) {
  bool json = false;
  for (const auto& a : args) {
    if (a != "--json") {
      base::logErr("uso: channel-server sessions [--json]");
      return 2;
    }
    json = true;
  }
  std::string answer = callSessionTool("list_sessions", Json::object());
  Json list = base::parseJson(answer);
  if (!list.is_object() || list.contains("error")) {
    base::logErr("✗ sessões indisponíveis: " + answer);
    return 1;
  }
  if (json) {
    answer += "\n";
    return platform::writeAll(STDOUT_FILENO, answer.data(), answer.size()) ? 0 : 1;
  }
  std::map<std::string, std::optional<double>> usd;
  for (const Json& s : list["sessions"]) {
    std::string id = field(s, "id");
    Json cost = base::parseJson(callSessionTool("session_cost", {{"name", id}}));
    if (cost.is_object() && cost.contains("usd") && cost["usd"].is_number()) {
      usd[id] = cost["usd"].get<double>();
    }
  }
  winsize ws{};
  size_t width =
      ::isatty(STDOUT_FILENO) && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
  int64_t now = nowMillis();
  std::string table = formatSessions(list, usd, now, localMidnightMillis(now), width);
  return platform::writeAll(STDOUT_FILENO, table.data(), table.size()) ? 0 : 1;
}

}  // namespace tools
