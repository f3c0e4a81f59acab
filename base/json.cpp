#include "base/json.h"

#include <cmath>
#include <limits>
#include <vector>

namespace base {
namespace {

bool tooDeep(const Json& root) {
  std::vector<std::pair<const Json*, size_t>> pending{{&root, 1}};
  while (!pending.empty()) {
    auto [value, depth] = pending.back();
    pending.pop_back();
    if (!value->is_structured()) {
      continue;
    }
    if (depth > MAX_DEPTH) {
      return true;
    }
    for (const auto& child : *value) {
      pending.emplace_back(&child, depth + 1);
    }
  }
  return false;
}

// Nesting depth of a JSON text, counted outside strings; stops counting past `limit`.
bool nestsWithin(std::string_view text, size_t limit) {
  size_t depth = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) {
        return false;
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

}  // namespace

Json parseJson(std::string_view text) {
  if (!nestsWithin(text, MAX_DEPTH)) {
    return Json(Json::value_t::discarded);
  }
  return Json::parse(text, nullptr, false);
}

std::optional<std::string> serialize(const Json& value) {
  if (tooDeep(value)) {
    return std::nullopt;
  }
  try {
    return value.dump();
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> stringArg(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) {
    return std::nullopt;
  }
  return it->get<std::string>();
}

std::optional<long long> wholeNumber(const Json& value) {
  if (value.is_number_unsigned()) {
    auto v = value.get<uint64_t>();
    return v <= static_cast<uint64_t>(std::numeric_limits<long long>::max())
               ? std::optional<long long>(static_cast<long long>(v))
               : std::nullopt;
  }
  if (value.is_number_integer()) {
    return value.get<long long>();
  }
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.2e18) {
      return static_cast<long long>(d);
    }
  }
  return std::nullopt;
}

}  // namespace base
