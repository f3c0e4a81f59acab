#include "base/paging.h"

#include "base/text.h"

#include <algorithm>
#include <ctime>
#include <vector>

namespace base {
namespace {

bool continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Byte index of every character start, and the text's size last.
std::vector<size_t> charStarts(std::string_view text) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!continuation(text[i])) {
      starts.push_back(i);
    }
  }
  starts.push_back(text.size());
  return starts;
}

double numberArg(const Json& request, const char* key, double fallback) {
  auto it = request.find(key);
  return it != request.end() && it->is_number() ? it->get<double>() : fallback;
}

}  // namespace

std::string charSlice(std::string_view text, size_t from, size_t count) {
  size_t begin = 0;
  size_t seen = 0;
  while (begin < text.size() && seen < from) {
    ++begin;
    while (begin < text.size() && continuation(text[begin])) {
      ++begin;
    }
    ++seen;
  }
  size_t end = begin;
  for (seen = 0; end < text.size() && seen < count; ++seen) {
    ++end;
    while (end < text.size() && continuation(text[end])) {
      ++end;
    }
  }
  return std::string(text.substr(begin, end - begin));
}

Page pageOf(std::string_view text, size_t offset, size_t limit) {
  std::vector<size_t> starts = charStarts(text);
  Page p;
  p.totalChars = starts.size() - 1;
  p.offset = std::min(offset, p.totalChars);
  size_t end = p.totalChars - p.offset > limit ? p.offset + limit : p.totalChars;
  p.text = std::string(text.substr(starts[p.offset], starts[end] - starts[p.offset]));
  if (end < p.totalChars) {
    p.nextOffset = end;
  }
  return p;
}

Found findFrom(std::string_view text, std::string_view needle, size_t offset) {
  std::vector<size_t> starts = charStarts(text);
  std::string hay = base::asciiLower(text);
  std::string want = base::asciiLower(needle);
  std::vector<size_t> at;  // character index of every match
  for (size_t pos = hay.find(want); pos != std::string::npos; pos = hay.find(want, pos + 1)) {
    at.push_back(
        static_cast<size_t>(std::lower_bound(starts.begin(), starts.end(), pos) - starts.begin()));
  }
  Found f;
  f.matches = at.size();
  auto hit = std::lower_bound(at.begin(), at.end(), offset);
  if (hit == at.end()) {
    f.offset = std::min(offset, starts.size() - 1);
    return f;
  }
  f.match = static_cast<size_t>(hit - at.begin()) + 1;
  f.offset = *hit;
  if (hit + 1 != at.end()) {
    f.nextOffset = *(hit + 1);
  }
  size_t needleChars = charCount(needle);
  size_t before = needleChars < FIND_WINDOW ? (FIND_WINDOW - needleChars) / 2 : 0;
  size_t total = starts.size() - 1;
  size_t from = f.offset > before ? f.offset - before : 0;
  if (total >= FIND_WINDOW && from + FIND_WINDOW > total) {
    from = total - FIND_WINDOW;
  }
  size_t end = std::min(total, from + FIND_WINDOW);
  f.text = std::string(text.substr(starts[from], starts[end] - starts[from]));
  return f;
}

std::optional<std::string> textArg(const Json& request, const char* key) {
  auto it = request.find(key);
  if (it == request.end() || !it->is_string() || it->get_ref<const std::string&>().empty()) {
    return std::nullopt;
  }
  return it->get<std::string>();
}

bool hasArg(const Json& request, const char* key) {
  auto it = request.find(key);
  return it != request.end() && !it->is_null();
}

size_t offsetArg(const Json& request) {
  double v = numberArg(request, "offset", 0);
  return v >= 1 ? static_cast<size_t>(std::min(v, 1e15)) : 0;
}

size_t limitArg(const Json& request) {
  double v = numberArg(request, "limit", DEFAULT_LIMIT);
  if (!(v >= 1)) {
    return DEFAULT_LIMIT;
  }
  return static_cast<size_t>(std::min(v, static_cast<double>(MAX_LIMIT)));
}

}  // namespace base
