#include "bench/rows.h"

#include <cmath>
#include <cstdio>

namespace bench {
namespace {

std::string format(double v, Unit unit) {
  char buf[64];
  if (std::isnan(v)) {
    return "n/a";
  } else if (unit == Unit::Bytes) {
    std::snprintf(buf, sizeof(buf), "%.1f MiB", v / (1024.0 * 1024.0));
  } else if (unit == Unit::PerSecond || unit == Unit::BytesPerSecond) {
    std::snprintf(buf, sizeof(buf), unit == Unit::PerSecond ? "%.0f/s" : "%.0f MB/s",
                  unit == Unit::PerSecond ? v : v / 1e6);
  } else {
    std::snprintf(buf, sizeof(buf),
                  v < 1e-3 ? "%.1f µs"
                  : v < 1  ? "%.2f ms"
                           : "%.2f s",
                  v < 1e-3 ? v * 1e6
                  : v < 1  ? v * 1e3
                           : v);
  }
  return buf;
}

bool higherIsBetter(Unit unit) {
  return unit == Unit::PerSecond || unit == Unit::BytesPerSecond;
}

// Median and the bad tail: the 99th percentile of a cost, the 1st of a rate.
std::string cell(const Figure& f, Unit unit) {
  if (!f.skipped.empty()) {
    return "skipped: " + f.skipped;
  }
  if (f.fixed) {
    return format(f.samples.median(), unit) + " (budget)";
  }
  double tail = f.samples.percentile(higherIsBetter(unit) ? 1 : 99);
  return format(f.samples.median(), unit) + " / " + format(tail, unit) +
         " (n=" + std::to_string(f.samples.count()) + ")";
}

std::string ratio(const Row& row) {
  if (!row.figure.skipped.empty() || !row.limit.skipped.empty()) {
    return "n/a";
  }
  double fig = row.figure.samples.median();
  double lim = row.limit.samples.median();
  double r = higherIsBetter(row.unit) ? lim / fig : fig / lim;
  if (std::isnan(r) || std::isinf(r)) {
    return "n/a";
  }
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.2f", r);
  return buf;
}

}  // namespace

Figure fixedBudget(const std::string& what, double value) {
  Figure f;
  f.what = what;
  f.fixed = true;
  f.samples.add(value);
  return f;
}

void sampleBoth(Row& row, size_t count, const std::function<double(size_t)>& figure,
                const std::function<double(size_t)>& limit, size_t warm) {
  for (size_t i = 0; i < warm; ++i) {
    figure(i);
    limit(i);
  }
  auto deadline = Clock::now() + std::chrono::seconds(20);
  for (size_t i = 0; i < count && Clock::now() < deadline; ++i) {
    for (auto [f, into] : {std::pair{&figure, &row.figure}, std::pair{&limit, &row.limit}}) {
      if (double t = (*f)(i); t >= 0) {
        into->samples.add(t);
      }
    }
  }
}

size_t scaled(const Config& config, size_t count, size_t floor) {
  auto n = static_cast<size_t>(static_cast<double>(count) * config.scale);
  return n < floor ? floor : n;
}

void progress(const std::string& line) {
  std::fprintf(stderr, "bench: %s\n", line.c_str());
}

void printTable(const std::vector<Row>& rows) {
  std::printf(
      "| measure | figure: median / tail (n) | limit | limit: median / tail (n) | ratio | aim "
      "|\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (const Row& row : rows) {
    std::printf("| %s | %s | %s | %s | %s | %s |\n", row.name.c_str(),
                cell(row.figure, row.unit).c_str(), row.limit.what.c_str(),
                cell(row.limit, row.unit).c_str(), ratio(row).c_str(), row.aim.c_str());
  }
}

}  // namespace bench
