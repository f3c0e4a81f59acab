#include "base/time_text.h"

#include <ctime>

namespace base {

std::string isoUtc(int64_t millis) {
  std::time_t secs = static_cast<std::time_t>(millis / 1000);
  std::tm tm{};
  char buf[32];
  if (::gmtime_r(&secs, &tm) == nullptr ||
      std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm) == 0) {
    return {};
  }
  return buf;
}

int64_t parseIsoMillis(std::string_view t) {
  auto digits = [&t](size_t at, size_t n, int64_t* out) {
    if (at + n > t.size()) {
      return false;
    }
    int64_t v = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (t[i] < '0' || t[i] > '9') {
        return false;
      }
      v = v * 10 + (t[i] - '0');
    }
    *out = v;
    return true;
  };
  int64_t y, mo, d, h, mi, s;
  if (!digits(0, 4, &y) || !digits(5, 2, &mo) || !digits(8, 2, &d) || !digits(11, 2, &h) ||
      !digits(14, 2, &mi) || !digits(17, 2, &s) || mo < 1 || mo > 12 || d < 1 || d > 31) {
    return 0;
  }
  size_t i = 19;
  int64_t ms = 0;
  if (i < t.size() && t[i] == '.') {
    int64_t scale = 100;
    for (++i; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i, scale /= 10) {
      ms += (t[i] - '0') * scale;
    }
  }
  int64_t offset = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
    int64_t oh, om;
    if (!digits(i + 1, 2, &oh) || !digits(i + 4, 2, &om)) {
      return 0;
    }
    offset = (t[i] == '+' ? 1 : -1) * (oh * 60 + om) * 60;
  }
  // Days from the civil date (Howard Hinnant's algorithm).
  y -= mo <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  int64_t days = era * 146097 + doe - 719468;
  return (days * 86400 + h * 3600 + mi * 60 + s - offset) * 1000 + ms;
}

int64_t localDayStartMillis(int64_t millis) {
  std::time_t secs = static_cast<std::time_t>(millis / 1000);
  std::tm tm{};
  ::localtime_r(&secs, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm)) * 1000;
}

}  // namespace base
