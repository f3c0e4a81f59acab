#pragma once

// The companion's ops: each a pure function of the request and the request's context, looked up
// by name in one table.

#include "base/json.h"
#include "ops/context.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace ops {

using Handler = std::function<Json(const Json& request, const Context& ctx)>;
using OpTable = std::map<std::string, Handler, std::less<>>;

// The session ops read ctx.sessions.
Json listOp(const Json& request, const Context& ctx);
Json activityOp(const Json& request, const Context& ctx);
Json costOp(const Json& request, const Context& ctx);
Json filesOp(const Json& request, const Context& ctx);
Json conflictsOp(const Json& request, const Context& ctx);

// The five ops over sessions; the companion adds the others to these.
OpTable sessionOps();

struct Request {
  Json body;  // a JSON object
  std::string op;
  pid_t callerPid = 0;  // 0 when absent or not a pid
};

// The request on one line (its line feed removed), or nullopt with the error answer in *error.
std::optional<Request> parseRequest(std::string_view line, Json* error);

// The op's answer; an unknown op, an argument of its tool present with another type, or a
// handler that fails, gives an error answer.
Json dispatch(const OpTable& ops, const Request& request, const Context& ctx);

// Compact one-line text of an answer; invalid UTF-8 in strings is replaced, never refused.
std::string answerText(const Json& answer);

}  // namespace ops
