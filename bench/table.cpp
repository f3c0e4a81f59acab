#include "bench/rows.h"

#include <cmath>
#include <cstdio>

namespace bench {
namespace {

std::string format(double v, Unit unit) {
  if (std::isnan(v)) {
    return "n/a";
  }
  char buf[64];
  switch (unit) {
    case Unit::Seconds:
      if (v < 1e-3) {
        std::snprintf(buf, sizeof(buf), "%.1f µs", v * 1e6);
      } else if (v < 1) {
        std::snprintf(buf, sizeof(buf), "%.2f ms", v * 1e3);
      } else {
        std::snprintf(buf, sizeof(buf), "%.2f s", v);
      }
      break;
    case Unit::Bytes:
      std::snprintf(buf, sizeof(buf), "%.1f MiB", v / (1024.0 * 1024.0));
      break;
    case Unit::PerSecond:
      std::snprintf(buf, sizeof(buf), "%.0f/s", v);
      break;
    case Unit::BytesPerSecond:
      std::snprintf(buf, sizeof(buf), "%.0f MB/s", v / 1e6);
      break;
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
  std::printf(
      "\ntail: 99th percentile of a time or size, 1st percentile of a rate. ratio: figure / "
      "limit for times and sizes, limit / figure for rates; 1 means as good as the limit, "
      "higher is worse.\n");
}

}  // namespace bench
