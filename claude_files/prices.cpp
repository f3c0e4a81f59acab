#include "claude_files/prices.h"

#include "base/json.h"
#include "base/log.h"
#include "base/time_text.h"
#include "platform/files.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <sys/stat.h>

namespace claude_files {

extern const std::string_view BUILT_IN_PRICES;

namespace {

bool number(const base::Json& obj, const char* key, double* out) {
  auto it = obj.find(key);
  if (it == obj.end()) {
    return true;
  }
  if (!it->is_number() || it->get<double>() < 0) {
    return false;
  }
  *out = it->get<double>();
  return true;
}

// Cache rates left out follow Anthropic's usual multipliers of the input price; the built-in
// table states all five, since several models no longer follow them.
std::optional<Rates> parseRates(const base::Json& obj) {
  Rates r;
  if (!obj.is_object() || !obj.contains("input") || !obj.contains("output") ||
      !number(obj, "input", &r.input) || !number(obj, "output", &r.output)) {
    return std::nullopt;
  }
  r.cacheWrite5m = r.input * 1.25;
  r.cacheWrite1h = r.input * 2;
  r.cacheRead = r.input * 0.1;
  if (!number(obj, "cache_write_5m", &r.cacheWrite5m) ||
      !number(obj, "cache_write_1h", &r.cacheWrite1h) || !number(obj, "cache_read", &r.cacheRead)) {
    return std::nullopt;
  }
  return r;
}

// "2026-10-07" as days since 1970-01-01.
std::optional<int32_t> parseDay(const base::Json& v) {
  if (!v.is_string() || v.get<std::string>().size() != 10) {
    return std::nullopt;
  }
  int64_t millis = base::parseIsoMillis(v.get<std::string>() + "T00:00:00Z");
  if (millis <= 0) {
    return std::nullopt;
  }
  return static_cast<int32_t>(millis / base::MILLIS_PER_DAY);
}

bool parseRow(const base::Json& obj, PriceRow* row, std::string* err) {
  auto rates = parseRates(obj);
  if (!rates) {
    *err = "input e output devem ser números não negativos";
    return false;
  }
  row->rates = *rates;
  if (obj.contains("from")) {
    auto day = parseDay(obj["from"]);
    if (!day) {
      *err = "from deve ser uma data como \"2026-10-07\"";
      return false;
    }
    row->fromDay = *day;
  }
  if (obj.contains("prompt_over")) {
    const base::Json& over = obj["prompt_over"];
    auto known = std::find_if(std::begin(PROMPT_BANDS), std::end(PROMPT_BANDS), [&](uint32_t b) {
      return over.is_number_unsigned() && over.get<uint64_t>() == b;
    });
    if (known == std::end(PROMPT_BANDS)) {
      *err = "prompt_over deve ser 100000 ou 200000";
      return false;
    }
    row->band = *known;
  }
  return true;
}

// A model's rows: its own rates, `long_context` (the prompt past 200,000 tokens) and `rows`.
bool parseModel(const base::Json& entry, ModelPrice* price, std::string* err) {
  std::vector<PriceRow> rows;
  auto add = [&](const base::Json& obj, uint32_t band) {
    PriceRow row;
    row.band = band;
    if (!parseRow(obj, &row, err)) {
      return false;
    }
    rows.push_back(row);
    return true;
  };
  if (!entry.is_object() || (entry.contains("input") && !add(entry, 0)) ||
      (entry.contains("long_context") && !add(entry["long_context"], PROMPT_BANDS[1]))) {
    *err = err->empty() ? "não é um objeto" : *err;
    return false;
  }
  if (auto list = entry.find("rows"); list != entry.end()) {
    if (!list->is_array()) {
      *err = "rows deve ser uma lista";
      return false;
    }
    for (const base::Json& row : *list) {
      if (!add(row, 0)) {
        return false;
      }
    }
  }
  auto order = [](const PriceRow& a, const PriceRow& b) {
    return std::pair(a.fromDay, a.band) < std::pair(b.fromDay, b.band);
  };
  std::sort(rows.begin(), rows.end(), order);
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i > 0 && !order(rows[i - 1], rows[i])) {
      *err = "duas linhas para a mesma data e o mesmo tamanho de prompt";
      return false;
    }
    if (rows[i].band != 0 && (i == 0 || rows[i - 1].fromDay != rows[i].fromDay)) {
      *err = "cada data precisa de uma linha sem prompt_over";
      return false;
    }
  }
  if (rows.empty()) {
    *err = "input e output devem ser números não negativos";
    return false;
  }
  price->rows = std::move(rows);
  return true;
}

bool datedSnapshot(std::string_view rest) {
  if (!rest.empty() && rest[0] == '@') {
    return true;
  }
  if (rest.size() < 9 || rest[0] != '-') {
    return false;
  }
  for (size_t i = 1; i < 9; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(rest[i]))) {
      return false;
    }
  }
  return true;
}

// What tells one version of the user's file from another, without reading it.
std::string stampOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return "missing";
  }
  std::error_code ec;
  auto written = std::filesystem::last_write_time(path, ec);  // to the nanosecond where kept
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
         std::to_string(st.st_size) + ":" + std::to_string(st.st_mtime) + ":" +
         // In nanoseconds as a long long: macOS keeps the file clock in a 128-bit count.
         std::to_string(
             ec ? 0
                : std::chrono::duration_cast<std::chrono::nanoseconds>(written.time_since_epoch())
                      .count());
}

}  // namespace

const Rates& ModelPrice::ratesFor(int32_t day, uint32_t band) const {
  int32_t from = rows.front().fromDay;
  for (const PriceRow& row : rows) {
    from = row.fromDay <= day ? row.fromDay : from;
  }
  const Rates* best = &rows.front().rates;
  for (const PriceRow& row : rows) {
    best = row.fromDay == from && row.band <= band ? &row.rates : best;
  }
  return *best;
}

Prices Prices::builtIn() {
  Prices p;
  std::string err;
  bool ok = p.merge(BUILT_IN_PRICES, &err);
  (void)ok;  // the built-in table is checked by the tests
  return p;
}

bool Prices::merge(std::string_view jsonText, std::string* err) {
  base::Json doc = base::parseJson(jsonText);
  if (doc.is_discarded() || !doc.is_object() || !doc.contains("models") ||
      !doc["models"].is_object()) {
    *err = "não é um objeto JSON com um objeto \"models\"";
    return false;
  }
  std::map<std::string, ModelPrice, std::less<>> added;
  std::map<std::string, std::string, std::less<>> aliases;
  for (const auto& [id, entry] : doc["models"].items()) {
    std::string why;
    if (!parseModel(entry, &added[id], &why)) {
      *err = "modelo " + id + ": " + why;
      return false;
    }
    if (auto list = entry.find("aliases"); list != entry.end() && list->is_array()) {
      for (const auto& alias : *list) {
        if (alias.is_string()) {
          aliases[alias.get<std::string>()] = id;
        }
      }
    }
  }
  for (auto& [id, price] : added) {
    m_models[id] = price;
    m_aliases.erase(id);
  }
  for (auto& [alias, id] : aliases) {
    m_aliases[alias] = id;
  }
  if (doc.contains("source") && doc["source"].is_string()) {
    m_source = doc["source"].get<std::string>();
  }
  if (doc.contains("checked") && doc["checked"].is_string()) {
    m_checked = doc["checked"].get<std::string>();
  }
  return true;
}

const ModelPrice* Prices::exact(std::string_view model) const {
  if (auto it = m_models.find(model); it != m_models.end()) {
    return &it->second;
  }
  auto alias = m_aliases.find(model);
  if (alias == m_aliases.end()) {
    return nullptr;
  }
  auto it = m_models.find(alias->second);
  return it == m_models.end() ? nullptr : &it->second;
}

const ModelPrice* Prices::find(std::string_view model) const {
  if (auto cut = model.find("anthropic."); cut != std::string_view::npos) {
    model.remove_prefix(cut + 10);
  }
  if (const ModelPrice* price = exact(model)) {
    return price;
  }
  std::string_view best;
  auto consider = [&](std::string_view id) {
    if (id.size() > best.size() && model.size() > id.size() && model.starts_with(id) &&
        datedSnapshot(model.substr(id.size()))) {
      best = id;
    }
  };
  for (const auto& entry : m_models) {
    consider(entry.first);
  }
  for (const auto& entry : m_aliases) {
    consider(entry.first);
  }
  return best.empty() ? nullptr : exact(best);
}

std::optional<double> Prices::usd(const UsageKey& key, const Tokens& t) const {
  const ModelPrice* price = find(key.model);
  if (price == nullptr) {
    return std::nullopt;
  }
  const Rates& r = price->ratesFor(key.day, key.band);
  double micro = static_cast<double>(t.input) * r.input + static_cast<double>(t.output) * r.output +
                 static_cast<double>(t.cacheWrite5m) * r.cacheWrite5m +
                 static_cast<double>(t.cacheWrite1h) * r.cacheWrite1h +
                 static_cast<double>(t.cacheRead) * r.cacheRead;
  return micro / 1e6;
}

Prices loadPrices(const std::string& path, std::string* warning) {
  warning->clear();
  Prices prices = Prices::builtIn();
  platform::ReadFailure why{};
  std::string err;
  auto text = platform::readRegularFile(path, &why, &err);
  if (!text) {
    *warning = why == platform::ReadFailure::Missing      ? ""
               : why == platform::ReadFailure::NotRegular ? path + ": não é um arquivo comum"
               : why == platform::ReadFailure::TooLarge   ? path + ": passa de 1 MiB"
                                                          : err;
  } else if (!prices.merge(*text, &err)) {
    *warning = path + ": " + err;
  }
  return prices;
}

LivePrices::LivePrices(std::string path) : m_path(std::move(path)) {}

std::shared_ptr<const Prices> LivePrices::current() {
  std::lock_guard<std::mutex> hold(m_mutex);
  auto now = std::chrono::steady_clock::now();
  if (m_checkedAt && now - *m_checkedAt < CHECK_EVERY) {
    return m_prices;
  }
  m_checkedAt = now;
  std::string stamp = stampOf(m_path);
  if (!m_prices || stamp != m_stamp) {
    std::string warning;
    m_prices = std::make_shared<const Prices>(loadPrices(m_path, &warning));
    m_stamp = stamp;
    if (!warning.empty()) {
      base::logErr("✗ tabela de preços do usuário ignorada: " + warning);
    }
  }
  return m_prices;
}

}  // namespace claude_files
