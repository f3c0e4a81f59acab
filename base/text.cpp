#include "base/text.h"

#include <algorithm>

namespace base {
namespace {

bool continues(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

size_t charCount(std::string_view text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return !continues(c); }));
}

std::string cutChars(std::string_view text, size_t max, std::string_view mark) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!continues(text[i]) && chars++ == max) {
      return std::string(text.substr(0, i)).append(mark);
    }
  }
  return std::string(text);
}

char asciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string asciiLower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) { return asciiLower(c); });
  return out;
}

}  // namespace base
