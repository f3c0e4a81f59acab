#pragma once

// The fields of one transcript record that the aggregates use, picked out of simdjson's DOM. The
// views point into the parser's buffers and live until its next parse.

#include "claude_files/summary.h"

#include <optional>
#include <simdjson.h>
#include <string_view>
#include <vector>

namespace claude_files {

struct Block {
  enum Kind { OTHER, TEXT, TOOL_USE, TOOL_RESULT } kind = OTHER;
  std::string_view text;
  std::string_view id;  // tool_use id, or the tool_use_id a result answers
  std::string_view name;
  std::string_view filePath, notebookPath, command, pattern, path, url;
};

struct Record {
  std::string_view type, timestamp, cwd, requestId, skill;
  std::string_view messageId, model, contentText;
  std::string_view customTitle, aiTitle, title;
  std::string_view originKind;  // origin.kind: "human" for what a person typed
  bool hasOrigin = false;
  bool contentIsString = false;
  bool isMeta = false, isSidechain = false, isCompactSummary = false, toolUseResult = false;
  bool hasUsage = false;
  Tokens tokens;
  std::optional<double> totalCost;
};

// False when `doc` is not an object; fields of unexpected types are left empty.
bool parseRecord(simdjson::dom::element doc, Record* r, std::vector<Block>* blocks);

}  // namespace claude_files
