#include "platform/text.h"

#include <climits>
#include <cstdint>

namespace platform {
namespace {

// Length of the well-formed sequence at s[i], or 0 when it is ill-formed. *bad receives how many
// bytes the ill-formed prefix spans (at least 1), so a decoder can skip it as one unit.
size_t sequenceLength(std::string_view s, size_t i, size_t* bad) {
  auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t c = b(i);
  *bad = 1;
  if (c < 0x80) {
    return 1;
  }
  size_t need;
  uint8_t lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) {
      lo = 0xA0;
    } else if (c == 0xED) {
      hi = 0x9F;
    }
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) {
      lo = 0x90;
    } else if (c == 0xF4) {
      hi = 0x8F;
    }
  } else {
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) {
      *bad = k;
      return 0;
    }
    uint8_t t = b(i + k);
    uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (t < l || t > h) {
      *bad = k;
      return 0;
    }
  }
  return need + 1;
}

// Start of the code point that ends at s[end-1]; s must be valid UTF-8.
size_t startBefore(std::string_view s, size_t end) {
  size_t i = end - 1;
  while (i > 0 && (static_cast<uint8_t>(s[i]) & 0xC0) == 0x80) {
    --i;
  }
  return i;
}

uint32_t decodeAt(std::string_view s, size_t i, size_t* len) {
  auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(s[k])); };
  uint32_t c = b(i);
  if (c < 0x80) {
    *len = 1;
    return c;
  }
  if (c < 0xE0) {
    *len = 2;
    return ((c & 0x1F) << 6) | (b(i + 1) & 0x3F);
  }
  if (c < 0xF0) {
    *len = 3;
    return ((c & 0x0F) << 12) | ((b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F);
  }
  *len = 4;
  return ((c & 0x07) << 18) | ((b(i + 1) & 0x3F) << 12) | ((b(i + 2) & 0x3F) << 6) |
         (b(i + 3) & 0x3F);
}

bool isSpaceSeparator(uint32_t c) {
  return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

bool isUnicodeSpace(uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029 || isSpaceSeparator(c);
}

template <typename Pred>
std::string_view trimWith(std::string_view s, Pred pred) {
  size_t begin = 0;
  while (begin < s.size()) {
    size_t len = 0;
    if (!pred(decodeAt(s, begin, &len))) {
      break;
    }
    begin += len;
  }
  size_t end = s.size();
  while (end > begin) {
    size_t start = startBefore(s, end);
    size_t len = 0;
    if (!pred(decodeAt(s, start, &len))) {
      break;
    }
    end = start;
  }
  return s.substr(begin, end - begin);
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    size_t bad = 0;
    size_t n = sequenceLength(bytes, i, &bad);
    if (n == 0) {
      return false;
    }
    i += n;
  }
  return true;
}

std::string sanitizeUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    size_t bad = 0;
    size_t n = sequenceLength(bytes, i, &bad);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
    } else {
      out.append(bytes.data() + i, n);
      i += n;
    }
  }
  return out;
}

std::string_view trimUnicodeSpace(std::string_view text) {
  return trimWith(text, isUnicodeSpace);
}

std::string_view trimHorizontalSpace(std::string_view text) {
  return trimWith(text, [](uint32_t c) { return c == '\t' || isSpaceSeparator(c); });
}

std::string lastPathComponent(std::string_view path) {
  if (path.empty()) {
    return {};
  }
  size_t end = path.find_last_not_of('/');
  if (end == std::string_view::npos) {
    return "/";
  }
  std::string_view trimmed = path.substr(0, end + 1);
  size_t slash = trimmed.rfind('/');
  return std::string(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
}

bool parseDecimal(std::string_view text, long long* out) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return false;
  }
  // Accumulate negatively so that LLONG_MIN is reachable.
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    int digit = c - '0';
    if (value < (LLONG_MIN + digit) / 10) {
      return false;
    }
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == LLONG_MIN) {
      return false;
    }
    value = -value;
  }
  *out = value;
  return true;
}

}  // namespace platform
