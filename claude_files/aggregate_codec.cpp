#include "claude_files/aggregate_codec.h"

#include <nlohmann/json.hpp>

#include <cstring>

namespace claude_files {

using nlohmann::json;

NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(Tokens, input, output, cacheWrite5m, cacheWrite1h,
                                                cacheRead)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(UsageKey, model, agent, skill, band, day)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(Usage, tokens, requests)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(MinuteUsage, minuteMillis, usage)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(ToolCall, tool, target, useId, atMillis, done)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(FileEdits, edits, lastEditMillis, byTool)
// The summary's fields other than its optional ones, which are written as null when empty.
#define CS_SUMMARY_FIELDS(X)                                                              \
  X(sessionId)                                                                            \
  X(cwd)                                                                                  \
  X(customTitle) X(aiTitle) X(latestPrompt) X(firstMillis) X(lastActivityMillis) X(turns) \
      X(mcpToolCalls) X(usage) X(recentUsage) X(recentTools) X(files)

namespace {

template <typename T>
json orNull(const std::optional<T>& v) {
  return v ? json(*v) : json(nullptr);
}

template <typename T>
std::optional<T> unlessNull(const json& j, const char* key) {
  auto it = j.find(key);
  return it == j.end() || it->is_null() ? std::nullopt : std::optional<T>(it->get<T>());
}

}  // namespace

void to_json(json& j, const TranscriptSummary& s) {
#define CS_PUT(field) j[#field] = s.field;
  CS_SUMMARY_FIELDS(CS_PUT)
#undef CS_PUT
  j["latestAnswer"] = orNull(s.latestAnswer);
  j["claudeUsd"] = orNull(s.claudeUsd);
}

void from_json(const json& j, TranscriptSummary& s) {
#define CS_GET(field)                            \
  if (auto it = j.find(#field); it != j.end()) { \
    it->get_to(s.field);                         \
  }
  CS_SUMMARY_FIELDS(CS_GET)
#undef CS_GET
  s.latestAnswer = unlessNull<std::string>(j, "latestAnswer");
  s.claudeUsd = unlessNull<double>(j, "claudeUsd");
}

std::string encodeAggregate(const FileAggregate& agg) {
  std::vector<uint64_t> answers = agg.countedAnswers.members();
  std::vector<uint8_t> raw(answers.size() * sizeof(uint64_t));
  if (!raw.empty()) {
    std::memcpy(raw.data(), answers.data(), raw.size());
  }
  json j = {{"main", agg.main},
            {"agent", agg.agent},
            {"summary", agg.summary},
            {"answerId", agg.answerId},
            {"newestMinute", agg.newestMinute},
            {"answers", json::binary(std::move(raw))}};
  std::vector<uint8_t> bytes = json::to_cbor(j);
  return std::string(bytes.begin(), bytes.end());
}

std::optional<FileAggregate> decodeAggregate(std::string_view bytes) {
  // Text the store did not write may be anything: no exception leaves here.
  try {
    json j = json::from_cbor(bytes.begin(), bytes.end(), true, false);
    if (!j.is_object() || !j.contains("summary") || !j["answers"].is_binary()) {
      return std::nullopt;
    }
    FileAggregate agg;
    agg.main = j.value("main", true);
    agg.agent = j.value("agent", std::string("main"));
    agg.summary = j["summary"].get<TranscriptSummary>();
    agg.answerId = j.value("answerId", std::string());
    agg.newestMinute = j.value("newestMinute", int64_t{0});
    const auto& raw = j["answers"].get_binary();
    for (size_t at = 0; at + sizeof(uint64_t) <= raw.size(); at += sizeof(uint64_t)) {
      uint64_t h = 0;
      std::memcpy(&h, raw.data() + at, sizeof(h));
      agg.countedAnswers.insert(h);
    }
    return agg;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace claude_files
