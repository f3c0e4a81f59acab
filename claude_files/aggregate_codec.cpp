#include "claude_files/aggregate_codec.h"

#include <concepts>
#include <cstring>
#include <type_traits>

// A compact binary form, read field by field: a restart decodes hundreds of these before its
// first answer, and a self-describing form (CBOR through a JSON tree) cost most of that time.

namespace claude_files {
namespace {

constexpr std::string_view MAGIC = "cvA1";

// Each struct's fields in their stored order, for writing and reading alike.
#define CS_FIELDS(Type, ...)                          \
  template <typename Io, typename T>                  \
  requires std::same_as<std::remove_const_t<T>, Type> \
  void fields(Io& io, T& x) {                         \
    io(__VA_ARGS__);                                  \
  }
CS_FIELDS(Tokens, x.input, x.output, x.cacheWrite5m, x.cacheWrite1h, x.cacheRead)
CS_FIELDS(UsageKey, x.model, x.agent, x.skill, x.band, x.day)
CS_FIELDS(Usage, x.tokens, x.requests)
CS_FIELDS(MinuteUsage, x.minuteMillis, x.usage)
CS_FIELDS(ToolCall, x.tool, x.target, x.useId, x.atMillis, x.done)
CS_FIELDS(FileEdits, x.edits, x.lastEditMillis, x.byTool)
CS_FIELDS(TranscriptSummary, x.sessionId, x.cwd, x.customTitle, x.aiTitle, x.latestPrompt,
          x.latestAnswer, x.firstMillis, x.lastActivityMillis, x.turns, x.mcpToolCalls, x.claudeUsd,
          x.usage, x.recentUsage, x.recentTools, x.files)
#undef CS_FIELDS

// Numbers as base-128 varints (signed ones zigzagged), strings and lists after their length.
struct Out {
  std::string bytes;

  template <typename... T>
  void operator()(const T&... x) {
    (put(x), ...);
  }
  void num(uint64_t v) {
    for (; v >= 0x80; v >>= 7) {
      bytes.push_back(static_cast<char>(v | 0x80));
    }
    bytes.push_back(static_cast<char>(v));
  }
  void put(uint64_t v) { num(v); }
  void put(uint32_t v) { num(v); }
  void put(bool v) { num(v ? 1 : 0); }
  void put(int64_t v) { num((static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63)); }
  void put(int32_t v) { put(int64_t{v}); }
  void put(double v) {
    char raw[sizeof v];
    std::memcpy(raw, &v, sizeof v);
    bytes.append(raw, sizeof raw);
  }
  void put(const std::string& s) {
    num(s.size());
    bytes.append(s);
  }
  template <typename T>
  void put(const std::optional<T>& v) {
    put(v.has_value());
    if (v) {
      put(*v);
    }
  }
  template <typename T>
  void put(const std::vector<T>& v) {
    num(v.size());
    for (const T& x : v) {
      put(x);
    }
  }
  template <typename K, typename V>
  void put(const std::map<K, V>& m) {
    num(m.size());
    for (const auto& [k, v] : m) {
      put(k);
      put(v);
    }
  }
  template <typename T>
  requires std::is_class_v<T>
  void put(const T& x) { fields(*this, x); }
};

// Never reads past the end; `ok` turns false at the first thing that does not fit.
struct In {
  const unsigned char* p;
  const unsigned char* end;
  bool ok = true;

  template <typename... T>
  void operator()(T&... x) {
    (get(x), ...);
  }
  uint64_t num() {
    uint64_t v = 0;
    for (int shift = 0; shift < 64 && p < end; shift += 7) {
      unsigned char c = *p++;
      v |= static_cast<uint64_t>(c & 0x7f) << shift;
      if ((c & 0x80) == 0) {
        return v;
      }
    }
    ok = false;
    return 0;
  }
  // A count of things each at least a byte long, so never more than the bytes left.
  size_t count() {
    uint64_t n = num();
    ok = ok && n <= static_cast<uint64_t>(end - p);
    return ok ? static_cast<size_t>(n) : 0;
  }
  void get(uint64_t& v) { v = num(); }
  void get(uint32_t& v) { v = static_cast<uint32_t>(num()); }
  void get(bool& v) { v = num() != 0; }
  void get(int64_t& v) {
    uint64_t z = num();
    v = static_cast<int64_t>(z >> 1) ^ -static_cast<int64_t>(z & 1);
  }
  void get(int32_t& v) {
    int64_t wide = 0;
    get(wide);
    v = static_cast<int32_t>(wide);
  }
  void get(double& v) {
    ok = ok && end - p >= static_cast<ptrdiff_t>(sizeof v);
    if (ok) {
      std::memcpy(&v, p, sizeof v);
      p += sizeof v;
    }
  }
  void get(std::string& s) {
    size_t n = count();
    s.assign(reinterpret_cast<const char*>(p), n);
    p += n;
  }
  template <typename T>
  void get(std::optional<T>& v) {
    bool has = false;
    get(has);
    v.reset();
    if (has) {
      get(v.emplace());
    }
  }
  template <typename T>
  void get(std::vector<T>& v) {
    v.resize(count());
    for (T& x : v) {
      get(x);
    }
  }
  template <typename K, typename V>
  void get(std::map<K, V>& m) {
    m.clear();
    for (size_t i = 0, n = count(); i < n && ok; ++i) {
      K k{};
      V v{};
      get(k);
      get(v);
      m.emplace_hint(m.end(), std::move(k), std::move(v));
    }
  }
  template <typename T>
  requires std::is_class_v<T>
  void get(T& x) { fields(*this, x); }
};

}  // namespace

std::string encodeAggregate(const FileAggregate& agg) {
  Out out;
  out.bytes.append(MAGIC);
  out(agg.main, agg.agent, agg.summary, agg.answerId, agg.newestMinute);
  std::vector<uint64_t> answers = agg.countedAnswers.members();
  out.num(answers.size());
  for (uint64_t h : answers) {
    char raw[sizeof h];
    std::memcpy(raw, &h, sizeof h);
    out.bytes.append(raw, sizeof raw);
  }
  return std::move(out.bytes);
}

std::optional<FileAggregate> decodeAggregate(std::string_view bytes) {
  if (!bytes.starts_with(MAGIC)) {
    return std::nullopt;
  }
  const auto* start = reinterpret_cast<const unsigned char*>(bytes.data());
  In in{start + MAGIC.size(), start + bytes.size()};
  FileAggregate agg;
  in(agg.main, agg.agent, agg.summary, agg.answerId, agg.newestMinute);
  uint64_t n = in.num();
  if (!in.ok || n > static_cast<uint64_t>(in.end - in.p) / sizeof(uint64_t)) {
    return std::nullopt;
  }
  for (uint64_t i = 0; i < n; ++i, in.p += sizeof(uint64_t)) {
    uint64_t h = 0;
    std::memcpy(&h, in.p, sizeof h);
    agg.countedAnswers.insert(h);
  }
  if (in.p != in.end) {
    return std::nullopt;
  }
  return agg;
}

}  // namespace claude_files
