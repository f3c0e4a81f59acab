#include "notes/scratchpad_ops.h"

#include "base/paging.h"
#include "base/time_text.h"
#include "groups/doc_files.h"
#include "groups/group_ops.h"
#include "groups/group_store.h"
#include "notes/notebook.h"

#include <algorithm>
#include <optional>
#include <set>

namespace notes {
namespace {

using base::Json;
using ops::SessionRef;

bool sameGroup(const std::vector<groups::Group>& all, const std::string& a, const std::string& b) {
  const groups::Group* ga = groups::groupFor(all, a);
  return ga != nullptr && ga == groups::groupFor(all, b);
}

Json listNotebooks(const ops::Context& ctx) {
  Json list = Json::array();
  if (!ctx.you) {
    return {{"notebooks", std::move(list)}};
  }
  std::vector<SessionRef> candidates = {*ctx.you};
  std::vector<groups::Group> all = groups::loadGroups(ctx.stateDir);
  if (const groups::Group* g = groups::groupFor(all, ctx.you->cwd)) {
    for (SessionRef& s : groups::sessionsOf(all, *g, ctx)) {
      candidates.push_back(std::move(s));
    }
  }
  // Sessions of one folder share its notebook: it is listed once, under the first of them.
  std::set<std::string> seen;
  for (const SessionRef& s : candidates) {
    std::string text, err;
    int64_t mtime = 0;
    if (!seen.insert(s.cwd).second ||
        groups::readDocument(notebookPath(ctx.stateDir, s.cwd), &text, &err, &mtime) !=
            groups::ReadResult::Ok) {
      continue;
    }
    list.push_back({{"session", s.name},
                    {"project", s.project},
                    {"chars", base::charCount(text)},
                    {"updated", base::isoUtc(mtime)}});
  }
  return {{"notebooks", std::move(list)}};
}

Json sectionAnswer(const std::string& who, const std::string& text,
                   const std::vector<Heading>& outline, const std::string& query,
                   const Json& request) {
  std::vector<const Heading*> found = sectionsNamed(outline, query);
  if (found.size() != 1) {
    Json paths = Json::array();
    for (const Heading& h : outline) {
      if (found.empty() || std::find(found.begin(), found.end(), &h) != found.end()) {
        paths.push_back(h.path);
      }
    }
    return {{"error",
             found.empty() ? "no section called " + query : query + " matches several sections"},
            {"sections", std::move(paths)}};
  }
  std::string body = base::charSlice(text, found[0]->start, found[0]->end - found[0]->start);
  base::Page p = base::pageOf(body, base::offsetArg(request), base::limitArg(request));
  return {{"session", who},
          {"section", found[0]->path},
          {"text", p.text},
          {"offset", p.offset},
          {"next_offset", p.nextOffset ? Json(*p.nextOffset) : Json()},
          {"total_chars", p.totalChars}};
}

}  // namespace

Json opUserScratchpad(const Json& request, const ops::Context& ctx) {
  std::optional<std::string> session = base::textArg(request, "session");
  std::optional<std::string> section = base::textArg(request, "section");
  std::optional<std::string> find = base::textArg(request, "find");
  bool paged = base::hasArg(request, "offset") || base::hasArg(request, "limit");
  if (!session && !section && !find && !paged && !base::hasArg(request, "outline")) {
    return listNotebooks(ctx);
  }
  SessionRef target;
  if (session) {
    ops::Lookup found = ctx.find(*session);
    if (!found.session) {
      return found.error;
    }
    target = *found.session;
  } else if (ctx.you) {
    target = *ctx.you;
  } else {
    return {{"error", "you are not a Claude Code session: name one with session"}};
  }
  if (!ctx.you || (target.cwd != ctx.you->cwd &&
                   !sameGroup(groups::loadGroups(ctx.stateDir), target.cwd, ctx.you->cwd))) {
    return {{"error", target.name + "'s notebook is neither yours nor your work group's"}};
  }
  std::string text, err;
  switch (groups::readDocument(notebookPath(ctx.stateDir, target.cwd), &text, &err)) {
    case groups::ReadResult::Missing:
      return {{"error", target.name + " has no notebook"},
              {"hint", "the user writes one with: channel-server notes " + target.cwd}};
    case groups::ReadResult::Refused:
      return {{"error", "cannot read the notebook: " + err}};
    case groups::ReadResult::Ok:
      break;
  }
  std::vector<Heading> outline = outlineOf(text);
  Json answer = {{"session", target.name}};
  if (find) {
    base::Found f = base::findFrom(text, *find, base::offsetArg(request));
    std::optional<std::string> heading = f.match > 0 ? headingAt(outline, f.offset) : std::nullopt;
    answer.update(Json{{"match", f.match},
                       {"matches", f.matches},
                       {"text", f.text},
                       {"offset", f.offset},
                       {"next_offset", f.nextOffset ? Json(*f.nextOffset) : Json()},
                       {"heading", heading ? Json(*heading) : Json()}});
    return answer;
  }
  if (section) {
    return sectionAnswer(target.name, text, outline, *section, request);
  }
  if (paged) {
    base::Page p = base::pageOf(text, base::offsetArg(request), base::limitArg(request));
    answer.update(Json{{"text", p.text},
                       {"offset", p.offset},
                       {"next_offset", p.nextOffset ? Json(*p.nextOffset) : Json()},
                       {"total_chars", p.totalChars}});
    return answer;
  }
  Json items = Json::array();
  for (const Heading& h : outline) {
    items.push_back(
        {{"heading", h.title}, {"level", h.level}, {"path", h.path}, {"chars", h.end - h.start}});
  }
  answer["outline"] = std::move(items);
  return answer;
}

}  // namespace notes
