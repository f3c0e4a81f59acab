#pragma once

// The thirteen session tools, one row each: what claude is shown (name, description, arguments)
// and the op the companion answers the call with. The catalogue, the forwarding client and the
// companion's dispatch all read this one table, so a tool is added in one place.

#include "base/json.h"

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace ops {

using base::Json;

enum class ArgType { String, Integer, Number, Boolean };

// An argument key with its one JSON type, whichever tool takes it.
struct ArgKey {
  ArgKey(const char* k, ArgType t, bool lenient = false)
      : key(k), type(t), otherTypeMeansDefault(lenient) {}
  const char* key;
  ArgType type;
  bool otherTypeMeansDefault;  // its op reads a value of another type as its default
};

// Every key a request may carry, in the order a request carries them. Each tool's call forwards
// all of them, whatever the tool declares.
const std::vector<ArgKey>& argKeys();
const ArgKey* argKeyNamed(std::string_view key);

struct ToolArg {
  ToolArg(const char* k, const char* text, bool needed = false,
          std::vector<const char*> values = {})
      : key(k), description(text), required(needed), choices(std::move(values)) {}
  const char* key;  // one of argKeys()
  const char* description;
  bool required;
  std::vector<const char*> choices;  // the schema's enum, in order; none when empty
};

struct ToolRow {
  ToolRow(const char* n, const char* o, const char* text, std::vector<ToolArg> a, bool w = false)
      : name(n), op(o), description(text), args(std::move(a)), warden(w) {}
  const char* name;
  const char* op;
  const char* description;
  std::vector<ToolArg> args;  // in the schema's order, the required ones among them too
  bool warden;                // also offered to a warden session
};

// The rows in the order tools/list shows them.
const std::vector<ToolRow>& toolTable();
const ToolRow* toolNamed(std::string_view name);
const ToolRow* toolForOp(std::string_view op);

// "string", "integer", "number" or "boolean", as a schema writes it.
const char* typeName(ArgType type);

// `value` has the type: an integer may be written with a zero fraction (3.0).
bool hasType(const Json& value, ArgType type);

// The error answer naming the first argument of `op`'s tool that is present with another type
// (null included); nullopt when there is none.
std::optional<Json> wrongTypeError(std::string_view op, const Json& request);

}  // namespace ops
