#include "tools/catalogue.h"

#include "ops/tool_table.h"

namespace tools {
namespace {

Json entryOf(const ops::ToolRow& row) {
  Properties properties;
  std::vector<std::string> required;
  for (const ops::ToolArg& arg : row.args) {
    const ops::ArgKey* key = ops::argKeyNamed(arg.key);
    Json p = {{"type", key != nullptr ? ops::typeName(key->type) : ""},
              {"description", arg.description}};
    if (!arg.choices.empty()) {
      p["enum"] = std::vector<std::string>(arg.choices.begin(), arg.choices.end());
    }
    properties.emplace_back(arg.key, std::move(p));
    if (arg.required) {
      required.emplace_back(arg.key);
    }
  }
  return {{"name", row.name},
          {"description", row.description},
          {"inputSchema", schema(properties, required)}};
}

}  // namespace

Json schema(const Properties& properties, const std::vector<std::string>& required) {
  Json props = Json::object();
  for (const auto& [name, value] : properties) {
    props[name] = value;
  }
  return {{"type", "object"}, {"properties", props}, {"required", required}};
}

const Json& sessionTools() {
  // Never destroyed: the input thread may still read it while the process exits.
  static const Json& catalogue = *new Json([] {
    Json all = Json::array();
    for (const ops::ToolRow& row : ops::toolTable()) {
      all.push_back(entryOf(row));
    }
    return all;
  }());
  return catalogue;
}

Json exposedSessionTools(bool warden) {
  if (!warden) {
    return sessionTools();
  }
  Json kept = Json::array();
  const Json& all = sessionTools();
  for (size_t i = 0; i < all.size(); ++i) {
    if (ops::toolTable()[i].warden) {
      kept.push_back(all[i]);
    }
  }
  return kept;
}

}  // namespace tools
