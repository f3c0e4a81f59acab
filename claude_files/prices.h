#pragma once

// What an API request costs. The table built in comes from claude_files/prices.json; a user file of
// the same shape adds models or replaces them whole. A model found in neither has no price: usd()
// answers nullopt for it, never 0.

#include "claude_files/summary.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace claude_files {

// USD per million tokens.
struct Rates {
  double input = 0;
  double output = 0;
  double cacheWrite5m = 0;
  double cacheWrite1h = 0;
  double cacheRead = 0;
};

struct ModelPrice {
  Rates base;
  std::optional<Rates> longContext;  // for requests whose prompt passes LONG_CONTEXT_TOKENS
};

class Prices {
 public:
  static Prices builtIn();

  // Adds the models of a prices.json text (same shape as the built-in one); a model already known
  // is replaced whole, and its aliases follow it. On a malformed text nothing changes and *err says
  // why.
  bool merge(std::string_view jsonText, std::string* err);

  // Exact id or alias first; then the longest known id or alias that the model extends by a dated
  // snapshot ("-20250929…" or "@…"). A cloud prefix up to "anthropic." is ignored.
  const ModelPrice* find(std::string_view model) const;

  std::optional<double> usd(const UsageKey& key, const Tokens& tokens) const;

  const std::string& source() const { return m_source; }
  const std::string& date() const { return m_date; }

 private:
  const ModelPrice* exact(std::string_view model) const;

  std::map<std::string, ModelPrice, std::less<>> m_models;
  std::map<std::string, std::string, std::less<>> m_aliases;  // alias -> id in m_models
  std::string m_source;
  std::string m_date;
};

// The built-in table with the user's file at `path` (~/.corvane/prices.json) merged in when it
// exists. A user file that cannot be used (not a regular file, over 1 MiB, malformed) is left out
// and *warning says why (empty otherwise).
Prices loadPrices(const std::string& path, std::string* warning);

}  // namespace claude_files
