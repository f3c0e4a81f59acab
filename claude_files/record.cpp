#include "claude_files/record.h"

#include "base/text.h"
#include "base/time_text.h"
#include "claude_files/record_json.h"
#include "claude_files/skim.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <optional>
#include <simdjson.h>
#include <vector>

namespace claude_files {

namespace dom = simdjson::dom;

namespace {

// Lines longer than this get a parser of their own that is freed afterwards, so one huge tool
// result does not keep its buffers (several times its size) for the life of the index.
constexpr size_t BIG_LINE = size_t{1} << 20;

uint64_t answerHash(std::string_view id, std::string_view request) {
  return fnv1a(request, fnv1a("\xff", fnv1a(id)));
}

std::string cutBytes(std::string_view s, size_t max) {
  if (s.size() <= max) {
    return std::string(s);
  }
  size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) {
    --end;
  }
  return std::string(s.substr(0, end));
}

std::string resolve(std::string_view path, const std::string& cwd) {
  std::filesystem::path p{std::string(path)};
  if (p.is_relative() && !cwd.empty()) {
    p = std::filesystem::path(cwd) / p;
  }
  return p.lexically_normal().string();
}

// Text that claude itself puts in a user record: not something the user typed.
bool machineText(std::string_view text) {
  return text.starts_with("[Request interrupted by user") ||
         text.starts_with("<local-command-stdout>") || text.starts_with("<local-command-stderr>");
}

// A newer minute moves the window: minutes that fell out of it go, keys left empty with them.
// False when the minute is already out of it.
bool addRecent(FileAggregate* agg, const UsageKey& key, int64_t minute, const Usage& u) {
  auto& recent = agg->summary.recentUsage;
  if (minute > agg->newestMinute) {
    agg->newestMinute = minute;
    int64_t oldest = minute - RECENT_USAGE_MS;
    for (auto it = recent.begin(); it != recent.end();) {
      auto& series = it->second;
      auto keep = std::find_if(series.begin(), series.end(),
                               [&](const MinuteUsage& m) { return m.minuteMillis >= oldest; });
      series.erase(series.begin(), keep);
      it = series.empty() ? recent.erase(it) : std::next(it);
    }
  }
  if (minute < agg->newestMinute - RECENT_USAGE_MS) {
    return false;
  }
  addToMinute(&recent[key], minute, u);
  return true;
}

void applyTool(const Block& b, const Record& r, int64_t at, FileAggregate* agg) {
  TranscriptSummary& s = agg->summary;
  if (b.name.starts_with("mcp__")) {
    ++s.mcpToolCalls;
  }
  std::string_view target = !b.filePath.empty()       ? b.filePath
                            : !b.notebookPath.empty() ? b.notebookPath
                            : !b.command.empty()      ? b.command
                            : !b.pattern.empty()      ? b.pattern
                            : !b.path.empty()         ? b.path
                                                      : b.url;
  s.recentTools.push_back(ToolCall{std::string(b.name), base::cutChars(target, TARGET_MAX_CHARS),
                                   std::string(b.id), at, false});
  if (s.recentTools.size() > RECENT_TOOLS_KEPT) {
    s.recentTools.erase(s.recentTools.begin());
  }
  bool notebook = b.name == "NotebookEdit";
  if (!notebook && b.name != "Edit" && b.name != "MultiEdit" && b.name != "Write") {
    return;
  }
  std::string_view file = notebook ? b.notebookPath : b.filePath;
  if (file.empty()) {
    return;
  }
  const std::string& folder = r.cwd.empty() ? s.cwd : std::string(r.cwd);
  if (agg->notes && folder.empty() && std::filesystem::path(file).is_relative()) {
    agg->notes->unjoinable = true;
  }
  FileEdits& e = s.files[resolve(file, folder)];
  ++e.edits;
  e.lastEditMillis = std::max(e.lastEditMillis, at);
  ++e.byTool[std::string(b.name)];
}

void applyAssistant(const Record& r, const std::vector<Block>& blocks, int64_t at,
                    FileAggregate* agg) {
  TranscriptSummary& s = agg->summary;
  // Lines without both ids cannot be matched, so each counts on its own.
  bool matched = !r.messageId.empty() && !r.requestId.empty();
  uint64_t hash = matched ? answerHash(r.messageId, r.requestId) : 0;
  if (r.hasUsage && r.model != "<synthetic>" && (!matched || agg->countedAnswers.insert(hash))) {
    const Tokens& t = r.tokens;
    UsageKey key{std::string(r.model), agg->agent, std::string(r.skill),
                 promptBand(t.input + t.cacheWrite5m + t.cacheWrite1h + t.cacheRead),
                 static_cast<int32_t>(std::max<int64_t>(at, 0) / base::MILLIS_PER_DAY)};
    Usage one{t, 1};
    addUsage(&s.usage[key], one);
    int64_t minute = at - at % 60000;
    bool recent = at > 0 && addRecent(agg, key, minute, one);
    if (agg->notes && matched && agg->notes->firstAnswers.size() < FIRST_ANSWERS_KEPT) {
      agg->notes->firstAnswers.push_back(CountedAnswer{hash, key, one, minute, recent});
    }
  }
  bool mainTalk = agg->main && !r.isSidechain;
  for (const Block& b : blocks) {
    if (b.kind == Block::TOOL_USE) {
      applyTool(b, r, at, agg);
    } else if (b.kind == Block::TEXT && mainTalk && !b.text.empty()) {
      std::string text = base::cutChars(b.text, ANSWER_MAX_CHARS);
      if (s.latestAnswer && !r.messageId.empty() && agg->answerId == r.messageId) {
        text = base::cutChars(*s.latestAnswer + "\n\n" + text, ANSWER_MAX_CHARS);
      } else if (agg->notes && !s.latestAnswer) {
        agg->notes->firstAnswerId = r.messageId;
      } else if (agg->notes) {
        agg->notes->answerSinceFirst = false;
      }
      s.latestAnswer = std::move(text);
      agg->answerId = std::string(r.messageId);
    }
  }
}

void applyUser(const Record& r, const std::vector<Block>& blocks, FileAggregate* agg) {
  TranscriptSummary& s = agg->summary;
  std::string typed;
  bool toolResult = r.toolUseResult;
  if (r.contentIsString) {
    typed = r.contentText;
  }
  for (const Block& b : blocks) {
    if (b.kind == Block::TOOL_RESULT) {
      toolResult = true;
      if (agg->notes && !b.id.empty()) {
        agg->notes->results.insert(fnv1a(b.id));
      }
      for (ToolCall& call : s.recentTools) {
        if (!b.id.empty() && call.useId == b.id) {
          call.done = true;
          std::string().swap(call.useId);  // matched: no longer worth its memory
        }
      }
    } else if (b.kind == Block::TEXT) {
      typed += typed.empty() ? "" : "\n";
      typed += b.text;
    }
  }
  // A record with an origin other than a person (a background task's report, an automatic
  // continuation) is claude talking to itself.
  bool person = !r.hasOrigin || r.originKind == "human";
  if (!agg->main || !person || r.isSidechain || r.isMeta || r.isCompactSummary || toolResult ||
      typed.empty() || machineText(typed)) {
    return;
  }
  ++s.turns;
  s.latestPrompt = cutBytes(typed, PROMPT_MAX_BYTES);
}

void applyRecord(const Record& r, const std::vector<Block>& blocks, FileAggregate* agg) {
  TranscriptSummary& s = agg->summary;
  bool user = r.type == "user";
  if (user || r.type == "assistant") {
    int64_t at = base::parseIsoMillis(r.timestamp);
    if (at != 0) {
      s.firstMillis = s.firstMillis == 0 ? at : std::min(s.firstMillis, at);
      s.lastActivityMillis = std::max(s.lastActivityMillis, at);
    }
    if (!r.cwd.empty() && s.cwd != r.cwd) {
      s.cwd = r.cwd;
    }
    if (user) {
      applyUser(r, blocks, agg);
    } else {
      applyAssistant(r, blocks, at, agg);
    }
  } else if (r.type == "custom-title" && agg->main) {
    s.customTitle = !r.customTitle.empty() ? r.customTitle : r.title;
    if (agg->notes) {
      agg->notes->titled = true;
    }
  } else if (r.type == "ai-title" && agg->main) {
    s.aiTitle = !r.aiTitle.empty() ? r.aiTitle : r.title;
    if (agg->notes) {
      agg->notes->aiTitled = true;
    }
  } else if (r.type == "cost-state" && agg->main && r.totalCost) {
    s.claudeUsd = r.totalCost;
  }
}

}  // namespace

void addToMinute(std::vector<MinuteUsage>* series, int64_t minuteMillis, const Usage& usage) {
  // Answers come mostly in order, so the place is nearly always at the end.
  auto at = series->end();
  while (at != series->begin() && std::prev(at)->minuteMillis > minuteMillis) {
    --at;
  }
  if (at != series->begin() && std::prev(at)->minuteMillis == minuteMillis) {
    addUsage(&std::prev(at)->usage, usage);
  } else {
    series->insert(at, MinuteUsage{minuteMillis, usage});
  }
}

bool HashSet::insert(uint64_t h) {
  h = h == 0 ? 1 : h;
  if (2 * (m_count + 1) > m_slots.size()) {
    std::vector<uint64_t> old = std::move(m_slots);
    m_slots.assign(std::max<size_t>(64, old.size() * 2), 0);
    m_count = 0;
    for (uint64_t x : old) {
      if (x != 0) {
        insert(x);
      }
    }
  }
  size_t mask = m_slots.size() - 1;
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    if (m_slots[i] == h) {
      return false;
    }
    if (m_slots[i] == 0) {
      m_slots[i] = h;
      ++m_count;
      return true;
    }
  }
}

bool HashSet::contains(uint64_t h) const {
  if (m_slots.empty()) {
    return false;
  }
  h = h == 0 ? 1 : h;
  size_t mask = m_slots.size() - 1;
  size_t i = h & mask;
  while (m_slots[i] != h && m_slots[i] != 0) {  // never full: at most half the slots are taken
    i = (i + 1) & mask;
  }
  return m_slots[i] == h;
}

uint64_t fnv1a(std::string_view bytes, uint64_t h) {
  for (unsigned char c : bytes) {
    h = (h ^ c) * 1099511628211ull;
  }
  return h;
}

std::vector<uint64_t> HashSet::members() const {
  std::vector<uint64_t> out;
  out.reserve(m_count);
  for (uint64_t x : m_slots) {
    if (x != 0) {
      out.push_back(x);
    }
  }
  return out;
}

bool mayMatter(std::string_view line) {
  // One pass over the quotes: a record's type comes early in its line, whichever it is.
  static constexpr std::string_view TYPES[] = {"\"user\"", "\"assistant\"", "\"custom-title\"",
                                               "\"ai-title\"", "\"cost-state\""};
  for (size_t at = line.find('"'); at != std::string_view::npos; at = line.find('"', at + 1)) {
    std::string_view rest = line.substr(at);
    for (std::string_view type : TYPES) {
      if (rest.starts_with(type)) {
        return true;
      }
    }
  }
  return line.find("\\u") != std::string_view::npos;
}

namespace {

// A tool's output is most of a long session's bytes, and nothing of it is read: in a user record
// that answers a tool, strings this long are not parsed at all.
constexpr size_t LONG_STRING = 1024;
constexpr size_t SKIM_FROM = 4 * LONG_STRING;

bool answersTool(const Record& r, const std::vector<Block>& blocks) {
  return r.type == "user" && std::any_of(blocks.begin(), blocks.end(), [](const Block& b) {
           return b.kind == Block::TOOL_RESULT;
         });
}

}  // namespace

struct LineParser::Impl {
  dom::parser parser{BIG_LINE};
  std::string padded;
  std::string shrunk;
  std::vector<Block> blocks;

  // Applies a user record that answers a tool without parsing its long strings; false when the
  // line is not one (or not whole), for a full parse to decide.
  bool skim(std::string_view line, FileAggregate* agg) {
    if (line.size() < SKIM_FROM || line.find("\"tool_result\"") == std::string_view::npos ||
        !withoutLongStrings(line, LONG_STRING, &shrunk)) {
      return false;
    }
    size_t n = shrunk.size() - simdjson::SIMDJSON_PADDING;
    dom::element doc;
    Record r;
    blocks.clear();
    bool ok = !parser.parse(shrunk.data(), n, false).get(doc) && parseRecord(doc, &r, &blocks) &&
              answersTool(r, blocks);
    if (ok) {
      applyRecord(r, blocks, agg);
    }
    if (shrunk.capacity() > BIG_LINE) {
      std::string().swap(shrunk);
    }
    return ok;
  }
};

LineParser::LineParser() : m_impl(std::make_unique<Impl>()) {}
LineParser::~LineParser() = default;

bool LineParser::apply(std::string_view line, size_t readable, FileAggregate* agg, bool skim) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
    line.remove_suffix(1);
  }
  if (line.empty()) {
    return false;
  }
  if (skim && m_impl->skim(line, agg)) {
    return true;
  }
  if (readable < line.size() + simdjson::SIMDJSON_PADDING) {
    m_impl->padded.assign(line);
    m_impl->padded.resize(line.size() + simdjson::SIMDJSON_PADDING, ' ');
    line = std::string_view(m_impl->padded.data(), line.size());
  }
  std::optional<dom::parser> big;
  dom::parser* parser = &m_impl->parser;
  if (line.size() > BIG_LINE) {
    parser = &big.emplace(line.size());
  }
  dom::element doc;
  Record r;
  m_impl->blocks.clear();
  bool whole = !parser->parse(line.data(), line.size(), false).get(doc) &&
               parseRecord(doc, &r, &m_impl->blocks);
  if (whole) {
    applyRecord(r, m_impl->blocks, agg);
  }
  if (m_impl->padded.capacity() > BIG_LINE) {
    std::string().swap(m_impl->padded);
  }
  return whole;
}

}  // namespace claude_files
