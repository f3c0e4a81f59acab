#include "claude_files/transcript.h"

#include "base/text.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <utility>

namespace claude_files {
namespace {

std::atomic<size_t> gHeld{0};  // bytes of PARTIAL_BUDGET taken, all readers together

// What two summaries add up to whatever their order: times, counts, usage and edits.
void addCounts(TranscriptSummary* s, const TranscriptSummary& f) {
  if (f.firstMillis != 0) {
    s->firstMillis = s->firstMillis == 0 ? f.firstMillis : std::min(s->firstMillis, f.firstMillis);
  }
  s->lastActivityMillis = std::max(s->lastActivityMillis, f.lastActivityMillis);
  s->mcpToolCalls += f.mcpToolCalls;
  for (const auto& [key, usage] : f.usage) {
    addUsage(&s->usage[key], usage);
  }
  for (const auto& [path, edits] : f.files) {
    FileEdits& e = s->files[path];
    e.edits += edits.edits;
    e.lastEditMillis = std::max(e.lastEditMillis, edits.lastEditMillis);
    for (const auto& [tool, n] : edits.byTool) {
      e.byTool[tool] += n;
    }
  }
}

// Takes one of `f`'s answers back out of its sums.
void takeBack(FileAggregate* f, const CountedAnswer& a) {
  if (subtractUsage(&f->summary.usage[a.key], a.usage)) {
    f->summary.usage.erase(a.key);
  }
  // Still there unless the window moved past it since.
  if (!a.recent || a.minute < f->newestMinute - RECENT_USAGE_MS) {
    return;
  }
  auto& series = f->summary.recentUsage[a.key];
  auto at = std::find_if(series.begin(), series.end(),
                         [&a](const MinuteUsage& m) { return m.minuteMillis == a.minute; });
  if (at != series.end() && subtractUsage(&at->usage, a.usage)) {
    series.erase(at);
  }
  if (series.empty()) {
    f->summary.recentUsage.erase(a.key);
  }
}

// `later` read on its own after `earlier`'s last line, added as if read in one go; `later` is
// spent either way.
bool joinAggregates(FileAggregate* earlier, FileAggregate& later) {
  const JoinNotes& notes = *later.notes;
  if (notes.unjoinable) {
    return false;
  }
  // Answers the part began inside of were counted on both sides: taken back from the later.
  std::vector<uint64_t> counted = later.countedAnswers.members();
  for (uint64_t h : counted) {
    if (!earlier->countedAnswers.contains(h)) {
      continue;
    }
    auto first = std::find_if(notes.firstAnswers.begin(), notes.firstAnswers.end(),
                              [h](const CountedAnswer& a) { return a.hash == h; });
    if (first == notes.firstAnswers.end()) {
      return false;
    }
    takeBack(&later, *first);
  }
  // The newest minute must be one of the answers left, else the later part's window was wrong.
  int64_t newest = 0;
  for (const auto& [key, series] : later.summary.recentUsage) {
    newest = std::max(newest, series.back().minuteMillis);
  }
  if (newest != later.newestMinute) {
    return false;
  }
  for (uint64_t h : counted) {
    earlier->countedAnswers.insert(h);
  }
  TranscriptSummary* s = &earlier->summary;
  const TranscriptSummary& f = later.summary;
  s->cwd = f.cwd.empty() ? s->cwd : f.cwd;
  s->customTitle = notes.titled ? f.customTitle : s->customTitle;
  s->aiTitle = notes.aiTitled ? f.aiTitle : s->aiTitle;
  s->latestPrompt = f.turns > 0 ? f.latestPrompt : s->latestPrompt;
  s->turns += f.turns;
  s->claudeUsd = f.claudeUsd ? f.claudeUsd : s->claudeUsd;
  if (f.latestAnswer) {
    bool goesOn = notes.answerSinceFirst && !notes.firstAnswerId.empty() && s->latestAnswer &&
                  earlier->answerId == notes.firstAnswerId;
    s->latestAnswer =
        goesOn ? base::cutChars(*s->latestAnswer + "\n\n" + *f.latestAnswer, ANSWER_MAX_CHARS)
               : f.latestAnswer;
    earlier->answerId = later.answerId;
  }
  addCounts(s, f);
  // Each side kept the minutes back from its own newest answer; both now from the newer.
  earlier->newestMinute = std::max(earlier->newestMinute, later.newestMinute);
  int64_t oldest = earlier->newestMinute - RECENT_USAGE_MS;
  auto recent = [oldest](const MinuteUsage& m) { return m.minuteMillis < oldest; };
  for (auto it = s->recentUsage.begin(); it != s->recentUsage.end();) {
    std::erase_if(it->second, recent);
    it = it->second.empty() ? s->recentUsage.erase(it) : std::next(it);
  }
  for (const auto& [key, series] : f.recentUsage) {
    for (const MinuteUsage& m : series) {
      if (!recent(m)) {
        addToMinute(&s->recentUsage[key], m.minuteMillis, m.usage);
      }
    }
  }
  for (ToolCall& call : s->recentTools) {
    if (!call.useId.empty() && notes.results.contains(fnv1a(call.useId))) {
      call.done = true;
      std::string().swap(call.useId);
    }
  }
  s->recentTools.insert(s->recentTools.end(), f.recentTools.begin(), f.recentTools.end());
  if (s->recentTools.size() > RECENT_TOOLS_KEPT) {
    s->recentTools.erase(s->recentTools.begin(),
                         s->recentTools.end() - static_cast<ptrdiff_t>(RECENT_TOOLS_KEPT));
  }
  return true;
}

}  // namespace

TranscriptReader::TranscriptReader(bool main, std::string agent, bool preFilter)
    : m_preFilter(preFilter) {
  m_agg.main = main;
  m_agg.agent = std::move(agent);
}

TranscriptReader::TranscriptReader(FileAggregate restored, bool preFilter)
    : m_agg(std::move(restored)), m_preFilter(preFilter) {}

std::unique_ptr<TranscriptReader> TranscriptReader::laterPart(bool main, std::string agent,
                                                              bool preFilter) {
  auto reader = std::make_unique<TranscriptReader>(main, std::move(agent), preFilter);
  reader->m_agg.notes = std::make_unique<JoinNotes>();
  return reader;
}

TranscriptReader::~TranscriptReader() {
  forget();
}

// Appends to the partial line within MAX_LINE and the shared budget; false when the line must be
// skipped instead.
bool TranscriptReader::hold(std::string_view piece) {
  size_t need = m_partial.size() + piece.size();
  if (need > MAX_LINE) {
    return false;
  }
  if (need > m_held) {
    size_t want = std::min(MAX_LINE, std::max(need, m_held * 2));
    size_t more = want - m_held;
    if (gHeld.fetch_add(more) + more > PARTIAL_BUDGET) {
      gHeld.fetch_sub(more);
      return false;
    }
    m_partial.reserve(want);
    m_held = want;
  }
  m_partial.append(piece);
  return true;
}

void TranscriptReader::forget() {
  std::string().swap(m_partial);
  gHeld.fetch_sub(m_held);
  m_held = 0;
}

void TranscriptReader::feed(std::string_view bytes, size_t padding, LineParser& parser) {
  const char* end = bytes.data() + bytes.size();
  const char* p = bytes.data();
  while (p < end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    size_t len = static_cast<size_t>((nl != nullptr ? nl : end) - p);
    std::string_view piece(p, len);
    p += len + (nl != nullptr ? 1 : 0);
    if (nl == nullptr) {
      if (!m_dropping && !hold(piece)) {
        m_dropping = true;
        forget();
      }
      return;
    }
    if (m_dropping) {
      m_dropping = false;
      continue;
    }
    if (!m_partial.empty()) {
      if (hold(piece) && (!m_preFilter || mayMatter(m_partial))) {
        parser.apply(m_partial, m_partial.size(), &m_agg, m_preFilter);
      }
      forget();
      continue;
    }
    if (!m_preFilter || mayMatter(piece)) {
      parser.apply(piece, static_cast<size_t>(end - piece.data()) + padding, &m_agg, m_preFilter);
    }
  }
}

void TranscriptReader::finish(LineParser& parser) {
  size_t last = m_partial.find_last_not_of(" \t\r");
  if (m_dropping || last == std::string::npos || m_partial.front() != '{' ||
      m_partial[last] != '}') {
    return;
  }
  // A truncated record is never a whole object; a whole one is applied once, and the line feed
  // that follows later then ends an empty line. No pre-filter here: half a line proves nothing.
  if (!parser.apply(m_partial, m_partial.size(), &m_agg)) {
    return;
  }
  forget();
}

bool TranscriptReader::join(TranscriptReader& later) {
  if (!m_partial.empty() || m_dropping || !later.m_agg.notes ||
      !joinAggregates(&m_agg, later.m_agg)) {
    return false;
  }
  std::swap(m_partial, later.m_partial);
  std::swap(m_held, later.m_held);
  std::swap(m_dropping, later.m_dropping);
  return true;
}

void TranscriptReader::relabel(const std::string& agent) {
  if (agent == m_agg.agent) {
    return;
  }
  std::map<UsageKey, Usage> relabelled;
  for (auto& [key, usage] : m_agg.summary.usage) {
    UsageKey k = key;
    k.agent = agent;
    Usage& u = relabelled[k];
    u.tokens = usage.tokens;
    u.requests = usage.requests;
  }
  m_agg.summary.usage = std::move(relabelled);
  std::map<UsageKey, std::vector<MinuteUsage>> recent;
  for (auto& [key, series] : m_agg.summary.recentUsage) {
    UsageKey k = key;
    k.agent = agent;
    for (const MinuteUsage& m : series) {
      addToMinute(&recent[k], m.minuteMillis, m.usage);
    }
  }
  m_agg.summary.recentUsage = std::move(recent);
  m_agg.agent = agent;
}

void mergeInto(TranscriptSummary* s, const FileAggregate& file) {
  const TranscriptSummary& f = file.summary;
  if (file.main) {
    s->cwd = f.cwd.empty() ? s->cwd : f.cwd;
    s->customTitle = f.customTitle;
    s->aiTitle = f.aiTitle;
    s->latestPrompt = f.latestPrompt;
    s->latestAnswer = f.latestAnswer;
    s->turns = f.turns;
    s->claudeUsd = f.claudeUsd;
  } else if (s->cwd.empty()) {
    s->cwd = f.cwd;
  }
  addCounts(s, f);
  for (const auto& [key, series] : f.recentUsage) {
    auto& into = s->recentUsage[key];
    for (const MinuteUsage& m : series) {
      addToMinute(&into, m.minuteMillis, m.usage);
    }
  }
  s->recentTools.insert(s->recentTools.end(), f.recentTools.begin(), f.recentTools.end());
  std::stable_sort(s->recentTools.begin(), s->recentTools.end(),
                   [](const ToolCall& a, const ToolCall& b) { return a.atMillis < b.atMillis; });
  if (s->recentTools.size() > RECENT_TOOLS_KEPT) {
    s->recentTools.erase(s->recentTools.begin(),
                         s->recentTools.end() - static_cast<ptrdiff_t>(RECENT_TOOLS_KEPT));
  }
}

}  // namespace claude_files
