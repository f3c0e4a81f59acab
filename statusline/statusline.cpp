#include "statusline/statusline.h"

#include "base/terminal_text.h"
#include "platform/text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace statusline {
namespace {

constexpr size_t TWO_LINES_MIN = 50;  // narrower terminals get everything on one line
constexpr size_t NAME_CHARS = 32;
constexpr size_t WAITING_FOR_CHARS = 24;

const char* const BOLD = "\x1b[1m";
const char* const DIM = "\x1b[2m";
const char* const YELLOW = "\x1b[33m";
const char* const RESET = "\x1b[0m";

// One piece of a line; pieces are dropped lowest rank first until the line fits.
struct Piece {
  std::string text;  // already safe to print
  const char* colour = nullptr;
  int rank = 0;        // 0 is kept longest
  bool group = false;  // starts a new group of pieces: " │ " before it, not " · "
};

const Json* at(const Json& j, std::initializer_list<const char*> path) {
  const Json* cur = &j;
  for (const char* key : path) {
    if (!cur->is_object()) {
      return nullptr;
    }
    auto it = cur->find(key);
    if (it == cur->end()) {
      return nullptr;
    }
    cur = &*it;
  }
  return cur;
}

std::optional<double> number(const Json& j, std::initializer_list<const char*> path) {
  const Json* v = at(j, path);
  return v && v->is_number() && std::isfinite(v->get<double>()) ? std::optional(v->get<double>())
                                                                : std::nullopt;
}

std::string text(const Json& j, std::initializer_list<const char*> path) {
  const Json* v = at(j, path);
  return v && v->is_string() ? base::terminalSafe(v->get<std::string>()) : "";
}

std::string money(double usd) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), usd >= 1000 ? "$%.0f" : "$%.2f", usd);
  return buf;
}

std::string percent(double p) {
  return std::to_string(static_cast<int>(std::lround(std::clamp(p, 0.0, 999.0)))) + "%";
}

// The first `max` columns of safe text, "…" last when cut.
std::string cut(const std::string& s, size_t max) {
  if (columnsOf(s) <= max) {
    return s;
  }
  if (max == 0) {
    return "";
  }
  size_t chars = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && chars++ == max - 1) {
      return s.substr(0, i) + "…";
    }
  }
  return s;
}

std::string join(std::vector<Piece> pieces, size_t columns, bool colour) {
  auto plain = [&] {
    std::string out;
    for (size_t i = 0; i < pieces.size(); ++i) {
      out += (i == 0 ? "" : pieces[i].group ? " │ " : " · ") + pieces[i].text;
    }
    return out;
  };
  while (pieces.size() > 1 && columnsOf(plain()) > columns) {
    auto worst = std::max_element(pieces.begin(), pieces.end(),
                                  [](const Piece& a, const Piece& b) { return a.rank < b.rank; });
    pieces.erase(worst);
  }
  if (!pieces.empty() && columnsOf(plain()) > columns) {
    pieces[0].text = cut(pieces[0].text, columns);
  }
  if (!colour) {
    return plain();
  }
  std::string out;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) {
      out += std::string(DIM) + (pieces[i].group ? " │ " : " · ") + RESET;
    }
    out +=
        pieces[i].colour ? std::string(pieces[i].colour) + pieces[i].text + RESET : pieces[i].text;
  }
  return out;
}

std::string waitingList(const Json& waiting) {
  std::string out;
  for (const Json& w : waiting) {
    std::string name = cut(text(w, {"name"}), NAME_CHARS);
    std::string why = cut(text(w, {"for"}), WAITING_FOR_CHARS);
    out += (out.empty() ? "" : ", ") + name + (why.empty() ? "" : " (" + why + ")");
  }
  return out;
}

std::string leaseList(const Json& leases) {
  std::string out;
  for (const Json& l : leases) {
    if (l.is_string()) {
      out += (out.empty() ? "" : ", ") + cut(base::terminalSafe(l.get<std::string>()), NAME_CHARS);
    }
  }
  return out;
}

}  // namespace

size_t columnsOf(std::string_view s) {
  return static_cast<size_t>(std::count_if(
      s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

size_t columnsFrom(const std::optional<std::string>& value) {
  long long n = 0;
  return value && platform::parseDecimal(*value, &n) && n >= 1 && n <= 10000
             ? static_cast<size_t>(n)
             : 80;
}

std::string renderStatus(const Json& input, const Json& answer, Companion state,
                         const LineOptions& options) {
  static const Json NONE = Json::object();
  const Json& a = state == Companion::Answered && answer.is_object() ? answer : NONE;
  std::vector<Piece> line;
  std::string name = text(a, {"name"});
  name = cut(name.empty() ? text(input, {"session_name"}) : name, NAME_CHARS);
  const Json* channelJson = at(a, {"channel"});
  bool channel = channelJson && *channelJson == true;
  if (state == Companion::Starting) {
    line.push_back({"…", nullptr, 0});
  } else if (state == Companion::Failed) {
    line.push_back({"corvane indisponível", YELLOW, 1});
  }
  if (!name.empty() || channel) {
    line.push_back({(channel ? "⇄ " : "") + name, BOLD, 0});
  }
  if (auto usd = number(a, {"usd"})) {
    line.push_back({money(*usd), nullptr, 1});
  } else if (auto known = number(a, {"usd_known"})) {
    line.push_back({"≥" + money(*known) + "*", YELLOW, 1});
  }
  if (auto ctx = number(input, {"context_window", "used_percentage"})) {
    line.push_back({"ctx " + percent(*ctx), nullptr, 3});
  }
  if (auto fiveHour = number(input, {"rate_limits", "five_hour", "used_percentage"})) {
    line.push_back({"5h " + percent(*fiveHour), *fiveHour >= 80 ? YELLOW : nullptr, 5});
  }
  if (auto today = number(a, {"today_usd"})) {
    bool partial = at(a, {"today_unpriced"}) != nullptr;
    line.push_back(
        {"hoje " + std::string(partial ? "≥" : "") + money(*today) + (partial ? "*" : ""), nullptr,
         4, true});
    if (auto rate = number(a, {"rate_usd_per_hour"})) {
      line.push_back({money(*rate) + "/h", nullptr, 6});
    }
  }
  const Json* running = at(a, {"running"});
  if (running && running->is_number_unsigned()) {
    auto n = running->get<uint64_t>();
    line.push_back({std::to_string(n) + (n == 1 ? " sessão" : " sessões"), nullptr, 7, true});
  }
  const Json* waitingJson = at(a, {"waiting"});
  const Json* leasesJson = at(a, {"leases"});
  std::string waiting = waitingJson && waitingJson->is_array() ? waitingList(*waitingJson) : "";
  std::string leases = leasesJson && leasesJson->is_array() ? leaseList(*leasesJson) : "";
  size_t columns = std::max<size_t>(options.columns, 1);
  bool twoLines = columns >= TWO_LINES_MIN && (!waiting.empty() || !leases.empty());
  if (!twoLines && !waiting.empty()) {
    line.push_back({std::to_string(waitingJson->size()) + " à espera", YELLOW, 2});
  }
  if (!twoLines && !leases.empty()) {
    line.push_back({"reserva", nullptr, 8});
  }
  if (line.empty()) {
    line.push_back({"corvane", DIM, 0});
  }
  std::string out = join(std::move(line), columns, options.colour) + "\n";
  if (twoLines) {
    std::vector<Piece> second;
    if (!waiting.empty()) {
      second.push_back({"à espera: " + waiting, YELLOW, 0});
    }
    if (!leases.empty()) {
      second.push_back({"reserva: " + leases, nullptr, 1});
    }
    out += join(std::move(second), columns, options.colour) + "\n";
  }
  return out;
}

}  // namespace statusline
