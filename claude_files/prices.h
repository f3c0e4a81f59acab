#pragma once

// What an API request costs. The table built in comes from claude_files/prices.json; a user file of
// the same shape adds models or replaces them whole. A model found in neither has no price: usd()
// answers nullopt for it, never 0.

#include "claude_files/summary.h"

#include <chrono>
#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace claude_files {

// USD per million tokens.
struct Rates {
  double input = 0;
  double output = 0;
  double cacheWrite5m = 0;
  double cacheWrite1h = 0;
  double cacheRead = 0;
};

// Rates in force from a UTC day on, for the whole of a request whose prompt passed `band` tokens.
struct PriceRow {
  int32_t fromDay = INT32_MIN;  // days since 1970-01-01; INT32_MIN: from the start
  uint32_t band = 0;            // one of PROMPT_BANDS, or 0
  Rates rates;
};

struct ModelPrice {
  std::vector<PriceRow> rows;  // by fromDay, then band; every fromDay has a row of band 0

  // A day before the first row's is priced by the first rows.
  const Rates& ratesFor(int32_t day, uint32_t band) const;
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
  const std::string& checked() const { return m_checked; }

 private:
  const ModelPrice* exact(std::string_view model) const;

  std::map<std::string, ModelPrice, std::less<>> m_models;
  std::map<std::string, std::string, std::less<>> m_aliases;  // alias -> id in m_models
  std::string m_source;
  std::string m_checked;
};

// The built-in table with the user's file at `path` (~/.corvane/prices.json) merged in when it
// exists. A user file that cannot be used (not a regular file, over 1 MiB, malformed) is left out
// and *warning says why (empty otherwise).
Prices loadPrices(const std::string& path, std::string* warning);

// The prices in force, for a process that runs for long: the user's file is read again once it
// changes (device, inode, size or time), looked at no more than once a CHECK_EVERY. A file that
// cannot be used is left out with a line in the log. Safe to call from any thread.
class LivePrices {
 public:
  static constexpr std::chrono::milliseconds CHECK_EVERY{1000};

  explicit LivePrices(std::string path);  // the user's file
  std::shared_ptr<const Prices> current();

 private:
  std::string m_path;
  std::mutex m_mutex;
  std::shared_ptr<const Prices> m_prices;
  std::string m_stamp;  // how the file looked when last read
  std::optional<std::chrono::steady_clock::time_point> m_checkedAt;
};

}  // namespace claude_files
