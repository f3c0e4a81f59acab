#include "base/terminal_text.h"

#include <cstdint>

namespace base {
namespace {

constexpr char HEX[] = "0123456789abcdef";

// The length of the valid UTF-8 sequence at `i` and its code point, or 0 when the byte there
// starts none (overlong forms, surrogates and values past U+10FFFF included).
size_t decodeAt(std::string_view s, size_t i, uint32_t* cp) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b = byte(i);
  if (b < 0x80) {
    *cp = b;
    return 1;
  }
  size_t len = b >= 0xC2 && b <= 0xDF   ? 2
               : b >= 0xE0 && b <= 0xEF ? 3
               : b >= 0xF0 && b <= 0xF4 ? 4
                                        : 0;
  if (len == 0 || i + len > s.size()) {
    return 0;
  }
  uint32_t v = b & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      return 0;
    }
    v = (v << 6) | (byte(i + k) & 0x3F);
  }
  bool shortest = len == 2 || (len == 3 && v >= 0x800) || (len == 4 && v >= 0x10000);
  if (!shortest || (v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF) {
    return 0;
  }
  *cp = v;
  return len;
}

bool isControl(uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
}

// Line and paragraph separators and the bidirectional overrides and isolates: printed, they end a
// line or make the rest of it read in another order than it is.
bool reordersText(uint32_t cp) {
  return cp == 0x2028 || cp == 0x2029 || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string terminalSafe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    size_t len = decodeAt(text, i, &cp);
    if (len == 0) {
      auto b = static_cast<unsigned char>(text[i]);
      out += {'\\', 'x', HEX[b >> 4], HEX[b & 15]};
      ++i;
      continue;
    }
    if (cp == '\n' || cp == '\r' || cp == '\t') {
      out += cp == '\n' ? "\\n" : cp == '\r' ? "\\r" : "\\t";
    } else if (cp < 0x20 || cp == 0x7F) {
      out += {'\\', 'x', HEX[cp >> 4], HEX[cp & 15]};
    } else if (isControl(cp) || reordersText(cp)) {
      out += {'\\', 'u', HEX[cp >> 12], HEX[(cp >> 8) & 15], HEX[(cp >> 4) & 15], HEX[cp & 15]};
    } else {
      out.append(text.substr(i, len));
    }
    i += len;
  }
  return out;
}

bool plainText(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    size_t len = decodeAt(text, i, &cp);
    if (len == 0 || isControl(cp) || cp == 0x2028 || cp == 0x2029) {
      return false;
    }
    i += len;
  }
  return true;
}

}  // namespace base
