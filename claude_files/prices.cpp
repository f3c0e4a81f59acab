#include "claude_files/prices.h"

#include "base/json.h"
#include "platform/files.h"

#include <cctype>

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

// Cache rates left out follow Anthropic's multipliers of the input price.
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

}  // namespace

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
    *err = "not a JSON object with a \"models\" object";
    return false;
  }
  std::map<std::string, ModelPrice, std::less<>> added;
  std::map<std::string, std::string, std::less<>> aliases;
  for (const auto& [id, entry] : doc["models"].items()) {
    ModelPrice price;
    auto base = parseRates(entry);
    if (!base) {
      *err = "model " + id + ": input and output must be non-negative numbers";
      return false;
    }
    price.base = *base;
    if (entry.contains("long_context")) {
      price.longContext = parseRates(entry["long_context"]);
      if (!price.longContext) {
        *err = "model " + id + ": long_context needs input and output prices";
        return false;
      }
    }
    added[id] = price;
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
  if (doc.contains("date") && doc["date"].is_string()) {
    m_date = doc["date"].get<std::string>();
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
  const Rates& r = key.longContext && price->longContext ? *price->longContext : price->base;
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
    if (why != platform::ReadFailure::Missing) {
      *warning = err;
    }
  } else if (!prices.merge(*text, &err)) {
    *warning = path + ": " + err;
  }
  return prices;
}

}  // namespace claude_files
