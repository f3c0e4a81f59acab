#include "ops/ops.h"
#include "ops/tool_table.h"

#include <limits>

namespace ops {

OpTable sessionOps() {
  return {
      {"list", listOp},   {"activity", activityOp},   {"cost", costOp},
      {"files", filesOp}, {"conflicts", conflictsOp},
  };
}

std::optional<Request> parseRequest(std::string_view line, Json* error) {
  Json body = base::parseJson(line);
  if (body.is_discarded()) {
    *error = {{"error", "the request is not valid JSON"}};
    return std::nullopt;
  }
  if (!body.is_object()) {
    *error = {{"error", "the request must be a JSON object"}};
    return std::nullopt;
  }
  auto op = body.find("op");
  if (op == body.end() || !op->is_string()) {
    *error = {{"error", "the request has no op"}};
    return std::nullopt;
  }
  Request r;
  r.op = op->get<std::string>();
  auto pid = body.find("caller_pid");
  if (pid != body.end() && pid->is_number_integer()) {
    long long v = pid->get<long long>();
    if (v > 0 && v <= std::numeric_limits<pid_t>::max()) {
      r.callerPid = static_cast<pid_t>(v);
    }
  }
  r.body = std::move(body);
  return r;
}

Json dispatch(const OpTable& ops, const Request& request, const Context& ctx) {
  auto it = ops.find(request.op);
  if (it == ops.end()) {
    return {{"error", "unknown op " + request.op}};
  }
  if (auto wrong = wrongTypeError(request.op, request.body)) {
    return *wrong;
  }
  // A handler's fault stays in this request's answer; the others go on being served.
  try {
    return it->second(request.body, ctx);
  } catch (const std::exception& e) {
    return {{"error", "the op " + request.op + " failed: " + e.what()}};
  }
}

std::string answerText(const Json& answer) {
  try {
    return answer.dump(-1, ' ', false, Json::error_handler_t::replace);
  } catch (const std::exception&) {
    return "{\"error\":\"the answer could not be encoded\"}";
  }
}

}  // namespace ops
