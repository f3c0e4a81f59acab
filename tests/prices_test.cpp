// The price table: every model's five rates, rows from a date, prompt-length bands, look-up by
// alias or dated snapshot, and the user's file over it, read again when it changes.

#include "claude_files/prices.h"

#include "base/json.h"
#include "base/time_text.h"
#include "platform/files.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace claude_files {
extern const std::string_view BUILT_IN_PRICES;
}

namespace {

using namespace claude_files;

int32_t day(const char* date) {
  return static_cast<int32_t>(base::parseIsoMillis(std::string(date) + "T00:00:00Z") / 86400000);
}

// Each kind of token in its own count, so that two rates swapped show.
const Tokens MIX{1000000, 2000000, 3000000, 4000000, 5000000};

std::optional<double> usd(const Prices& p, const char* model, const char* date = "2026-12-08",
                          uint32_t band = 0) {
  return p.usd(UsageKey{model, "main", "", band, day(date)}, MIX);
}

// Expected: input + 2 × output + 3 × 5-min write + 4 × 1-h write + 5 × cache read, from the
// figures on Anthropic's pricing page.
TEST(Prices, EveryModelAtItsOwnRates) {
  struct Case {
    const char* model;
    const char* date;
    uint32_t band;
    double usd;
  };
  const Case cases[] = {
      {"claude-fable-5-2", "2026-12-08", 0, 183},  // 8 / 10 / 16 / 0.20 / 40
      {"claude-mythos-5-2", "2026-12-08", 0, 183},
      {"claude-fable-5-1", "2026-12-08", 0, 228.75},  // 10 / 12.50 / 20 / 0.25 / 50
      {"claude-mythos-5-1", "2026-12-08", 0, 228.75},
      {"claude-fable-5", "2026-12-08", 0, 232.5},  // 10 / 12.50 / 20 / 1 / 50
      {"claude-mythos-5", "2026-12-08", 0, 232.5},
      {"claude-opus-5-5", "2026-12-08", 0, 92},    // 4 / 5 / 8 / 0.20 / 20
      {"claude-opus-5", "2026-12-08", 0, 116.25},  // 5 / 6.25 / 10 / 0.50 / 25
      {"claude-opus-4-8", "2026-12-08", 0, 116.25},
      {"claude-opus-4-7", "2026-12-08", 0, 116.25},
      {"claude-opus-4-6", "2026-12-08", 0, 116.25},
      {"claude-opus-4-5-20251101", "2025-12-01", 0, 116.25},
      {"claude-opus-4-1-20250805", "2025-12-01", 200000, 348.75},  // 15 / 18.75 / 30 / 1.50 / 75
      {"claude-sonnet-5-5", "2026-10-06", 0, 46.5},                // 2 / 2.50 / 4 / 0.20 / 10
      {"claude-sonnet-5-5", "2026-10-07", 0, 46},                  // cache reads 0.10 from that day
      {"claude-sonnet-5-5", "2026-12-08", 200000, 46},
      {"claude-sonnet-5", "2026-12-08", 0, 46.5},
      {"claude-sonnet-4-6", "2026-12-08", 200000, 69.75},  // 3 / 3.75 / 6 / 0.30 / 15
      {"claude-sonnet-4-5-20250929", "2025-12-01", 100000, 69.75},
      {"claude-sonnet-4-5-20250929", "2025-12-01", 200000, 124.5},  // 6 / 7.50 / 12 / 0.60 / 22.50
      {"claude-sonnet-4-20250514", "2025-12-01", 200000, 124.5},
      {"claude-haiku-5-5", "2026-12-08", 0, 2.325},        // 0.10 / 0.125 / 0.20 / 0.01 / 0.50
      {"claude-haiku-5-5", "2026-12-08", 100000, 11.625},  // 0.50 / 0.625 / 1 / 0.05 / 2.50
      {"claude-haiku-5-5", "2026-12-08", 200000, 11.625},
      {"claude-haiku-4-5-20251001", "2025-12-01", 0, 23.25},  // 1 / 1.25 / 2 / 0.10 / 5
      {"claude-3-5-haiku-20241022", "2025-12-01", 0, 18.6},
  };
  Prices prices = Prices::builtIn();
  for (const Case& c : cases) {
    EXPECT_NEAR(c.usd, usd(prices, c.model, c.date, c.band).value_or(-1), 1e-9)
        << c.model << " " << c.date << " " << c.band;
  }
  EXPECT_FALSE(prices.source().empty() || prices.checked().empty());
  // The table states every rate: several models no longer follow the usual multipliers.
  base::Json table = base::parseJson(BUILT_IN_PRICES);
  for (const auto& [id, entry] : table["models"].items()) {
    for (const base::Json& row :
         entry.contains("rows") ? entry["rows"] : base::Json::array({entry})) {
      for (const char* rate :
           {"input", "cache_write_5m", "cache_write_1h", "cache_read", "output"}) {
        EXPECT_TRUE(row.contains(rate)) << id << " has no " << rate;
      }
    }
  }
}

TEST(Prices, BandsAndLookUp) {
  const std::pair<uint64_t, uint32_t> bands[] = {
      {100000, 0}, {100001, 100000}, {200000, 100000}, {200001, 200000}};
  for (const auto& [prompt, band] : bands) {
    EXPECT_EQ(band, promptBand(prompt)) << prompt;
  }
  Prices prices = Prices::builtIn();
  const std::pair<const char*, std::optional<double>> models[] = {
      {"claude-opus-5-5-20261201", 92},
      {"us.anthropic.claude-opus-5-5", 92},
      {"claude-opus-4-6-v1", 116.25},
      {"claude-sonnet-5-5@20261001", 46},  // Sonnet 5.5's own, not Sonnet 5's
      {"claude-fable-5-3", std::nullopt},  // no neighbour's price
      {"claude-opus-6", std::nullopt},
      {"<synthetic>", std::nullopt},
  };
  for (const auto& [model, want] : models) {
    auto got = usd(prices, model);
    EXPECT_EQ(want.has_value(), got.has_value()) << model;
    EXPECT_NEAR(want.value_or(0), got.value_or(0), 1e-9) << model;
  }
}

TEST(Prices, TheUsersFileAddsReplacesAndIsReadAgain) {
  cstest::TempHome home;
  platform::makeDirs(home / ".corvane");
  auto write = [&](const std::string& text) {
    std::ofstream(home / ".corvane/prices.json") << text;
  };
  write(R"({"models":{"claude-mystery-1":{"input":2,"output":8},
    "claude-haiku-4-5":{"rows":[{"input":10,"output":50},{"from":"2027-01-01","input":20,"output":40,
      "cache_write_5m":0,"cache_write_1h":0,"cache_read":0},{"prompt_over":100000,"input":0,"output":0}]}}})");
  std::string warning;
  Prices prices = loadPrices(home.path(), &warning);
  EXPECT_EQ("", warning);
  EXPECT_NEAR(42.5, usd(prices, "claude-mystery-1").value_or(0), 1e-9);  // cache rates derived
  // Replaced whole, its aliases following; its rows by date and band.
  EXPECT_NEAR(232.5, usd(prices, "claude-haiku-4-5-20251001").value_or(0), 1e-9);
  EXPECT_NEAR(0, usd(prices, "claude-haiku-4-5", "2026-12-08", 200000).value_or(-1), 1e-9);
  EXPECT_NEAR(100, usd(prices, "claude-haiku-4-5", "2027-01-02", 200000).value_or(0), 1e-9);
  EXPECT_NEAR(92, usd(prices, "claude-opus-5-5").value_or(0), 1e-9);  // the rest kept

  const std::pair<const char*, const char*> bad[] = {
      {R"({"models":{"x":{"input":"free"}}})",
       "modelo x: input e output devem ser números não negativos"},
      {R"({"models":{"x":{"input":1,"output":1,"prompt_over":150000}}})",
       "modelo x: prompt_over deve ser 100000 ou 200000"},
      {R"({"models":{"x":{"rows":[{"from":"soon","input":1,"output":1}]}}})",
       "modelo x: from deve ser uma data como \"2026-10-07\""},
      {R"({"models":{"x":{"long_context":{"input":1,"output":1}}}})",
       "modelo x: cada data precisa de uma linha sem prompt_over"},
      {R"({"models":{"x":{"input":1,"output":1,"rows":[{"input":2,"output":2}]}}})",
       "modelo x: duas linhas para a mesma data e o mesmo tamanho de prompt"},
  };
  for (const auto& [text, why] : bad) {
    write(text);
    Prices fallback = loadPrices(home.path(), &warning);
    EXPECT_EQ(home / ".corvane/prices.json: " + why, warning);
    EXPECT_EQ(usd(Prices::builtIn(), "claude-haiku-4-5"), usd(fallback, "claude-haiku-4-5"));
  }

  // Planted in its place: a FIFO would hang a plain read, a link would lead elsewhere.
  std::string path = home / ".corvane/prices.json";
  std::filesystem::remove(path);
  ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));
  loadPrices(home.path(), &warning);
  EXPECT_EQ(path + ": não é um arquivo comum", warning);
  std::filesystem::remove(path);
  std::filesystem::create_symlink(home / ".corvane", path);
  loadPrices(home.path(), &warning);
  EXPECT_EQ(path + ": não é um arquivo comum", warning);
  std::filesystem::remove(path);

  // A running companion sees an edit within about a second, without a restart.
  write(R"({"models":{}})");
  LivePrices live(home.path());
  EXPECT_FALSE(usd(*live.current(), "claude-mystery-1"));
  write(R"({"models":{"claude-mystery-1":{"input":2,"output":8}}})");
  auto seen = [&] { return usd(*live.current(), "claude-mystery-1").has_value(); };
  for (int i = 0; i < 40 && !seen(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(seen());
}

}  // namespace
