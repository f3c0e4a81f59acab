#include "groups/group_ops.h"

#include "base/log.h"
#include "base/paging.h"
#include "base/terminal_text.h"
#include "base/time_text.h"
#include "groups/doc_files.h"

namespace groups {
namespace {

constexpr size_t MAX_NOTE_CHARS = 65536;

Json readFailed(const std::string& doc, const std::string& err) {
  base::logErr("✗ grupo: " + base::terminalSafe(err));
  return {{"error", "cannot read " + doc + ": " + err}};
}

Json docArgError() {
  return {{"error", "doc must be one of contract, decisions, questions, board"}};
}

Json docIndex(const std::string& stateDir, const std::string& group) {
  Json docs = Json::array();
  for (const char* doc : DOCS) {
    std::string text, err;
    if (readDocument(docPath(stateDir, group, doc), &text, &err) == ReadResult::Refused) {
      return readFailed(doc, err);
    }
    docs.push_back({{"doc", doc},
                    {"chars", base::charCount(text)},
                    {"preview", base::charSlice(text, 0, base::PREVIEW_CHARS)}});
  }
  return docs;
}

}  // namespace

Json notInGroup() {
  return {{"error", "you are not in a work group"},
          {"hint", "the user creates one with: channel-server group create NAME DIR..."}};
}

std::vector<ops::SessionRef> sessionsOf(const std::vector<Group>& all, const Group& group,
                                        const ops::Context& ctx) {
  std::vector<ops::SessionRef> out;
  for (const auto* list : {&ctx.running, &ctx.finished}) {
    for (const ops::SessionRef& s : *list) {
      const Group* g = groupFor(all, s.cwd);
      if (g != nullptr && g->name == group.name) {
        out.push_back(s);
      }
    }
  }
  return out;
}

Json opGroupContext(const Json& request, const ops::Context& ctx) {
  std::string cwd;
  std::optional<std::string> name = base::textArg(request, "name");
  if (name) {
    ops::Lookup found = ctx.find(*name);
    if (!found.session) {
      return found.error;
    }
    cwd = found.session->cwd;
  } else if (ctx.you) {
    cwd = ctx.you->cwd;
  } else {
    return notInGroup();
  }
  std::vector<Group> all = loadGroups(ctx.stateDir);
  const Group* group = groupFor(all, cwd);
  if (group == nullptr) {
    return name ? Json{{"error", *name + " is not in a work group"}} : notInGroup();
  }
  std::optional<std::string> doc = base::textArg(request, "doc");
  std::optional<std::string> find = base::textArg(request, "find");
  if ((base::hasArg(request, "doc") && (!doc || !validDoc(*doc))) || (find && !doc)) {
    return docArgError();
  }
  if (!doc) {
    Json members = Json::array();
    for (const ops::SessionRef& s : sessionsOf(all, *group, ctx)) {
      members.push_back({{"name", s.name},
                         {"project", s.project},
                         {"state", s.running ? "running" : "finished"}});
    }
    Json docs = docIndex(ctx.stateDir, group->name);
    if (docs.is_object()) {
      return docs;
    }
    return {{"group", group->name}, {"members", std::move(members)}, {"docs", std::move(docs)}};
  }
  std::string text, err;
  if (readDocument(docPath(ctx.stateDir, group->name, *doc), &text, &err) == ReadResult::Refused) {
    return readFailed(*doc, err);
  }
  Json answer = {{"group", group->name}, {"doc", *doc}};
  if (find) {
    base::Found f = base::findFrom(text, *find, base::offsetArg(request));
    answer["match"] = f.match;
    answer["matches"] = f.matches;
    answer["text"] = f.text;
    answer["offset"] = f.offset;
    answer["next_offset"] = f.nextOffset ? Json(*f.nextOffset) : Json();
    return answer;
  }
  base::Page p = base::pageOf(text, base::offsetArg(request), base::limitArg(request));
  answer["text"] = p.text;
  answer["offset"] = p.offset;
  answer["next_offset"] = p.nextOffset ? Json(*p.nextOffset) : Json();
  answer["total_chars"] = p.totalChars;
  return answer;
}

std::string decisionEntry(const std::string& log, const std::string& text,
                          const std::string& signer, int64_t nowMillis) {
  std::string out;
  if (!log.empty()) {
    out += log.back() == '\n' ? "\n" : "\n\n";
  }
  std::string body = text;
  while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) {
    body.pop_back();
  }
  return out + "## " + base::isoUtc(nowMillis) + " — " + signer + "\n\n" + body + "\n";
}

Json opGroupNote(const Json& request, const ops::Context& ctx) {
  std::optional<std::string> text = base::textArg(request, "text");
  if (!text) {
    return {{"error", "text must be a non-empty string"}};
  }
  if (base::charCount(*text) > MAX_NOTE_CHARS) {
    return {{"error", "text is longer than " + std::to_string(MAX_NOTE_CHARS) + " characters"}};
  }
  std::string doc = "decisions";
  if (base::hasArg(request, "doc")) {
    std::optional<std::string> asked = base::textArg(request, "doc");
    if (!asked || !validDoc(*asked)) {
      return docArgError();
    }
    doc = *asked;
  }
  if (!ctx.you) {
    return notInGroup();
  }
  std::vector<Group> all = loadGroups(ctx.stateDir);
  const Group* group = groupFor(all, ctx.you->cwd);
  if (group == nullptr) {
    return notInGroup();
  }
  std::string written, err, lock = lockPath(ctx.stateDir, group->name),
                            path = docPath(ctx.stateDir, group->name, doc);
  bool ok = doc == "decisions"
                ? appendDocument(
                      lock, path,
                      [&](const std::string& current) {
                        return decisionEntry(current, *text, ctx.you->name, ctx.nowMillis);
                      },
                      &written, &err)
                : changeDocument(
                      lock, path,
                      [&](const std::string&, std::string* next, std::string*) {
                        *next = text->back() == '\n' ? *text : *text + "\n";
                        return true;
                      },
                      &written, &err);
  if (!ok) {
    base::logErr("✗ grupo " + group->name + ": " + base::terminalSafe(err));
    return {{"error", "cannot write " + doc + ": " + err}};
  }
  base::logErr("✓ grupo " + group->name + ": " + doc + " por " + base::terminalSafe(ctx.you->name));
  return {{"ok", true},
          {"group", group->name},
          {"doc", doc},
          {"total_chars", base::charCount(written)}};
}

}  // namespace groups
