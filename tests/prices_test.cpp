// The price table: every model's five rates, rows from a date, prompt-length bands, look-up by
// alias or dated snapshot, and the user's file over it, read again when it changes.

#include "claude_files/prices.h"

#include "base/time_text.h"
#include "platform/files.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <tuple>

namespace {

using namespace claude_files;

// Each kind of token in its own count, so that two rates swapped show.
const Tokens MIX{1000000, 2000000, 3000000, 4000000, 5000000};

std::optional<double> usd(const Prices& p, const char* model, const char* date = "2026-12-08",
                          uint32_t band = 0) {
  int64_t millis = base::parseIsoMillis(std::string(date) + "T00:00:00Z");
  return p.usd(UsageKey{model, "main", "", band, static_cast<int32_t>(millis / 86400000)}, MIX);
}

// Expected: input + 2 × output + 3 × 5-min write + 4 × 1-h write + 5 × cache read, from the
// figures on Anthropic's pricing page.
TEST(Prices, EveryModelAtItsOwnRates) {
  const std::pair<double, std::vector<const char*>> groups[] = {
      {228.75, {"claude-fable-5-1", "claude-mythos-5-1"}},  // 10 / 12.50 / 20 / 0.25 / 50
      {232.5, {"claude-fable-5", "claude-mythos-5"}},       // 10 / 12.50 / 20 / 1 / 50
      {92, {"claude-opus-5-5"}},                            // 4 / 5 / 8 / 0.20 / 20
      {116.25,                                              // 5 / 6.25 / 10 / 0.50 / 25
       {"claude-opus-5", "claude-opus-4-8", "claude-opus-4-7", "claude-opus-4-6",
        "claude-opus-4-5"}},
      {348.75, {"claude-opus-4-1", "claude-opus-4-0"}},  // 15 / 18.75 / 30 / 1.50 / 75
      {46, {"claude-sonnet-5-5"}},                       // 2 / 2.50 / 4 / 0.10 / 10
      {46.5, {"claude-sonnet-5"}},                       // 2 / 2.50 / 4 / 0.20 / 10
      {69.75,                                            // 3 / 3.75 / 6 / 0.30 / 15
       {"claude-sonnet-4-6", "claude-sonnet-4-5", "claude-sonnet-4-0", "claude-3-7-sonnet"}},
      {2.325, {"claude-haiku-5-5"}},  // 0.10 / 0.125 / 0.20 / 0.01 / 0.50
      {23.25, {"claude-haiku-4-5"}},  // 1 / 1.25 / 2 / 0.10 / 5
      {18.6, {"claude-3-5-haiku"}},   // 0.80 / 1 / 1.60 / 0.08 / 4
  };
  Prices prices = Prices::builtIn();
  for (const auto& [want, models] : groups) {
    for (const char* model : models) {
      EXPECT_NEAR(want, usd(prices, model).value_or(-1), 1e-9) << model;
    }
  }
  EXPECT_FALSE(prices.source().empty() || prices.checked().empty());
}

TEST(Prices, DatesBandsAndLookUp) {
  EXPECT_EQ(0u, promptBand(100000));  // a prompt up to 100,000 tokens is in no band
  EXPECT_EQ(100000u, promptBand(100001));
  EXPECT_EQ(200000u, promptBand(200001));
  // Model, day, band of the prompt, dollars.
  const std::tuple<const char*, const char*, uint32_t, std::optional<double>> cases[] = {
      {"claude-sonnet-5-5", "2026-10-06", 0, 46.5},        // cache reads 0.20 before that day
      {"claude-haiku-5-5", "2026-12-08", 100000, 11.625},  // 0.50 / 0.625 / 1 / 0.05 / 2.50
      {"claude-sonnet-4-20250514", "2025-12-01", 200000, 124.5},  // 6 / 7.50 / 12 / 0.60 / 22.50
      {"claude-opus-5-5", "2026-12-08", 200000, 92},              // no band of its own
      {"claude-opus-5-5-20261201", "2026-12-08", 0, 92},
      {"us.anthropic.claude-opus-5-5", "2026-12-08", 0, 92},
      {"claude-opus-4-6-v1", "2026-12-08", 0, 116.25},
      {"claude-sonnet-5-5@20261001", "2026-12-08", 0, 46},  // Sonnet 5.5's own, not Sonnet 5's
      {"claude-fable-5-3", "2026-12-08", 0, std::nullopt},  // no neighbour's price
      {"<synthetic>", "2026-12-08", 0, std::nullopt},
  };
  Prices prices = Prices::builtIn();
  for (const auto& [model, date, band, want] : cases) {
    auto got = usd(prices, model, date, band);
    EXPECT_EQ(want.has_value(), got.has_value()) << model;
    EXPECT_NEAR(want.value_or(0), got.value_or(0), 1e-9) << model << " " << band;
  }
}

TEST(Prices, TheUsersFileAddsReplacesAndIsReadAgain) {
  cstest::TempHome home;
  platform::makeDirs(home / ".corvane");
  std::string path = home / ".corvane/prices.json";
  auto write = [&](const std::string& text) { std::ofstream(path) << text; };
  write(R"({"models":{"claude-mystery-1":{"input":2,"output":8},
    "claude-haiku-4-5":{"rows":[{"input":10,"output":50},{"from":"2027-01-01","input":20,"output":40,
      "cache_write_5m":0,"cache_write_1h":0,"cache_read":0},{"prompt_over":100000,"input":0,"output":0}]}}})");
  std::string warning;
  Prices prices = loadPrices(home / ".corvane/prices.json", &warning);
  EXPECT_EQ("", warning);
  EXPECT_NEAR(42.5, usd(prices, "claude-mystery-1").value_or(0), 1e-9);  // cache rates derived
  // Replaced whole, its aliases following; its rows by date and band.
  EXPECT_NEAR(232.5, usd(prices, "claude-haiku-4-5-20251001").value_or(0), 1e-9);
  EXPECT_NEAR(0, usd(prices, "claude-haiku-4-5", "2026-12-08", 200000).value_or(-1), 1e-9);
  EXPECT_NEAR(100, usd(prices, "claude-haiku-4-5", "2027-01-02", 200000).value_or(0), 1e-9);
  EXPECT_NEAR(92, usd(prices, "claude-opus-5-5").value_or(0), 1e-9);  // the rest kept

  const std::pair<const char*, const char*> bad[] = {
      {R"({"models":{"x":{"input":"free"}}})",
       ": modelo x: input e output devem ser números não negativos"},
      {R"({"models":{"x":{"long_context":{"input":1,"output":1}}}})",
       ": modelo x: cada data precisa de uma linha sem prompt_over"},
  };
  for (const auto& [text, why] : bad) {
    write(text);
    Prices fallback = loadPrices(home / ".corvane/prices.json", &warning);
    EXPECT_EQ(path + why, warning);
    EXPECT_EQ(usd(Prices::builtIn(), "claude-haiku-4-5"), usd(fallback, "claude-haiku-4-5"));
  }
  std::filesystem::remove(path);  // a FIFO in its place would hang a plain read
  ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));
  loadPrices(home / ".corvane/prices.json", &warning);
  EXPECT_EQ(path + ": não é um arquivo comum", warning);

  // A running companion sees an edit within about a second, without a restart.
  std::filesystem::remove(path);
  LivePrices live(home / ".corvane/prices.json");
  EXPECT_FALSE(usd(*live.current(), "claude-mystery-1"));
  write(R"({"models":{"claude-mystery-1":{"input":2,"output":8}}})");
  auto seen = [&] { return usd(*live.current(), "claude-mystery-1").has_value(); };
  for (int i = 0; i < 40 && !seen(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(seen());
}

}  // namespace
