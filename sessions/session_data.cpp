#include "sessions/session_data.h"

#include "base/time_text.h"

#include <ctime>

namespace ops {

namespace {

std::vector<const TranscriptSummary*> pointersTo(const std::vector<TranscriptSummary>& all) {
  std::vector<const TranscriptSummary*> out;
  out.reserve(all.size());
  for (const TranscriptSummary& t : all) {
    out.push_back(&t);
  }
  return out;
}

}  // namespace

SessionData::SessionData(const std::vector<LiveSession>& liveSessions,
                         const std::vector<TranscriptSummary>& transcriptSummaries,
                         std::set<pid_t> channels, Pricer pricer)
    : SessionData(liveSessions, pointersTo(transcriptSummaries), std::move(channels),
                  std::move(pricer)) {}

SessionData::SessionData(const std::vector<LiveSession>& liveSessions,
                         std::vector<const TranscriptSummary*> transcriptSummaries,
                         std::set<pid_t> channels, Pricer pricer)
    : live(liveSessions),
      transcripts(std::move(transcriptSummaries)),
      channelPids(std::move(channels)),
      price(std::move(pricer)) {
  for (size_t i = 0; i < live.size(); ++i) {
    m_live.emplace(live[i].sessionId, i);
  }
  for (size_t i = 0; i < transcripts.size(); ++i) {
    m_transcripts.emplace(transcripts[i]->sessionId, i);
  }
}

const LiveSession* SessionData::liveOf(std::string_view id) const {
  auto it = m_live.find(std::string(id));
  return it == m_live.end() ? nullptr : &live[it->second];
}

const TranscriptSummary* SessionData::transcriptOf(std::string_view id) const {
  auto it = m_transcripts.find(std::string(id));
  return it == m_transcripts.end() ? nullptr : transcripts[it->second];
}

Json isoTime(int64_t millis) {
  if (millis <= 0) {
    return nullptr;
  }
  std::string text = base::isoUtc(millis);
  return text.empty() ? Json(nullptr) : Json(text);
}

Lookup findNamed(const Json& request, const Context& ctx) {
  if (auto name = base::stringArg(request, "name")) {
    return ctx.find(*name);
  }
  Lookup l;
  if (ctx.you) {
    l.session = ctx.you;
  } else {
    l.error = {{"error", "name is required: the caller is no running session"}};
  }
  return l;
}

}  // namespace ops
