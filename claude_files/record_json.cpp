#include "claude_files/record_json.h"

#include <algorithm>

namespace claude_files {

namespace dom = simdjson::dom;

namespace {

std::string_view str(dom::element v) {
  std::string_view s;
  return v.get_string().get(s) ? std::string_view{} : s;
}

bool flag(dom::element v) {
  bool b = false;
  return !v.get_bool().get(b) && b;
}

uint64_t count(dom::element v) {
  uint64_t n = 0;
  return v.get_uint64().get(n) ? 0 : n;
}

bool parseUsage(dom::element v, Tokens* t) {
  dom::object obj;
  if (v.get_object().get(obj)) {
    return false;
  }
  std::optional<uint64_t> creation;
  uint64_t split5m = 0, split1h = 0;
  for (auto [key, val] : obj) {
    if (key == "input_tokens") {
      t->input = count(val);
    } else if (key == "output_tokens") {
      t->output = count(val);
    } else if (key == "cache_read_input_tokens") {
      t->cacheRead = count(val);
    } else if (key == "cache_creation_input_tokens") {
      creation = count(val);
    } else if (key == "cache_creation") {
      dom::object split;
      if (!val.get_object().get(split)) {
        dom::element x;
        split5m = split["ephemeral_5m_input_tokens"].get(x) ? 0 : count(x);
        split1h = split["ephemeral_1h_input_tokens"].get(x) ? 0 : count(x);
      }
    }
  }
  // The total is what the API bills; the split only says which part was written for an hour.
  uint64_t total = creation.value_or(split5m + split1h);
  t->cacheWrite1h = std::min(split1h, total);
  t->cacheWrite5m = total - t->cacheWrite1h;
  return true;
}

void parseToolInput(dom::element v, Block* b) {
  dom::object obj;
  if (v.get_object().get(obj)) {
    return;
  }
  for (auto [key, val] : obj) {
    if (key == "file_path") {
      b->filePath = str(val);
    } else if (key == "notebook_path") {
      b->notebookPath = str(val);
    } else if (key == "command") {
      b->command = str(val);
    } else if (key == "pattern") {
      b->pattern = str(val);
    } else if (key == "path") {
      b->path = str(val);
    } else if (key == "url") {
      b->url = str(val);
    }
  }
}

Block parseBlock(dom::element v) {
  Block b;
  dom::object obj;
  if (v.get_object().get(obj)) {
    return b;  // not a block we know
  }
  std::string_view type;
  for (auto [key, val] : obj) {
    if (key == "type") {
      type = str(val);
    } else if (key == "text") {
      b.text = str(val);
    } else if (key == "id" || key == "tool_use_id") {
      b.id = str(val);
    } else if (key == "name") {
      b.name = str(val);
    } else if (key == "input") {
      parseToolInput(val, &b);
    }
  }
  b.kind = type == "text"          ? Block::TEXT
           : type == "tool_use"    ? Block::TOOL_USE
           : type == "tool_result" ? Block::TOOL_RESULT
                                   : Block::OTHER;
  return b;
}

void parseMessage(dom::element v, Record* r, std::vector<Block>* blocks) {
  dom::object obj;
  if (v.get_object().get(obj)) {
    return;
  }
  for (auto [key, val] : obj) {
    if (key == "id") {
      r->messageId = str(val);
    } else if (key == "model") {
      r->model = str(val);
    } else if (key == "usage") {
      r->hasUsage = parseUsage(val, &r->tokens);
    } else if (key == "content") {
      dom::array arr;
      if (val.is_string()) {
        r->contentIsString = true;
        r->contentText = str(val);
      } else if (!val.get_array().get(arr)) {
        for (dom::element item : arr) {
          blocks->push_back(parseBlock(item));
        }
      }
    }
  }
}

}  // namespace

bool parseRecord(dom::element doc, Record* r, std::vector<Block>* blocks) {
  dom::object obj;
  if (doc.get_object().get(obj)) {
    return false;
  }
  for (auto [key, val] : obj) {
    if (key == "type") {
      r->type = str(val);
    } else if (key == "message") {
      parseMessage(val, r, blocks);
    } else if (key == "timestamp") {
      r->timestamp = str(val);
    } else if (key == "cwd") {
      r->cwd = str(val);
    } else if (key == "requestId") {
      r->requestId = str(val);
    } else if (key == "attributionSkill") {
      r->skill = str(val);
    } else if (key == "isMeta") {
      r->isMeta = flag(val);
    } else if (key == "isSidechain") {
      r->isSidechain = flag(val);
    } else if (key == "isCompactSummary") {
      r->isCompactSummary = flag(val);
    } else if (key == "toolUseResult") {
      r->toolUseResult = true;
    } else if (key == "customTitle") {
      r->customTitle = str(val);
    } else if (key == "aiTitle") {
      r->aiTitle = str(val);
    } else if (key == "title") {
      r->title = str(val);
    } else if (key == "origin") {
      r->hasOrigin = true;
      dom::element kind;
      r->originKind = val["kind"].get(kind) ? std::string_view{} : str(kind);
    } else if (key == "totalCostUSD") {
      double d = 0;
      if (!val.get_double().get(d)) {
        r->totalCost = d;
      }
    }
  }
  return true;
}

}  // namespace claude_files
