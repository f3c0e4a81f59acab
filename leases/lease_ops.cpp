#include "leases/lease_ops.h"

#include "base/log.h"
#include "base/time_text.h"

#include <ctime>
#include <optional>
#include <string>

namespace leases {
namespace {

// Whole seconds left, rounded up so that a live lease never reads as 0.
int64_t secondsLeft(const Lease& l, int64_t nowMillis) {
  return (l.expiresAtMillis - nowMillis + 999) / 1000;
}

std::optional<std::string> nonEmptyString(const Json& request, const char* key) {
  auto it = request.find(key);
  if (it == request.end() || !it->is_string() || it->get_ref<const std::string&>().empty()) {
    return std::nullopt;
  }
  return it->get<std::string>();
}

Json mustBeText(const char* key) {
  return {{"error", std::string(key) + " must be a non-empty string"}};
}

Json storeFailed(const std::string& err) {
  base::logErr("✗ leases: " + err);
  return {{"error", "the lease store failed: " + err}};
}

Holder callerOf(const ops::Context& ctx) {
  return holderOf(ops::holderName(ctx), ctx.you ? ctx.you->id : "",
                  ctx.you ? ctx.you->pid : ctx.callerPid);
}

}  // namespace

Ttl ttlFrom(const Json& value) {
  if (!value.is_number() || !(value.get<double>() >= 1)) {
    return {};
  }
  double seconds = value.get<double>();
  if (seconds > static_cast<double>(MAX_TTL_S)) {
    return {MAX_TTL_S, true};
  }
  return {static_cast<int64_t>(seconds), false};
}

Json opLeaseAcquire(const Json& request, const ops::Context& ctx, LeaseStore& store) {
  std::optional<std::string> resource = nonEmptyString(request, "resource");
  std::optional<std::string> reason = nonEmptyString(request, "reason");
  if (!resource) {
    return mustBeText("resource");
  }
  if (!reason) {
    return mustBeText("reason");
  }
  auto ttlArg = request.find("ttl_s");
  Ttl ttl = ttlFrom(ttlArg != request.end() ? *ttlArg : Json());
  Lease wanted{*resource, callerOf(ctx), *reason, ctx.nowMillis + ttl.seconds * 1000};
  std::string err;
  std::optional<Acquired> got = store.acquire(wanted, ctx.nowMillis, &err);
  if (!got) {
    return storeFailed(err);
  }
  const Lease& l = got->lease;
  if (!got->granted) {
    return {{"granted", false},
            {"resource", l.resource},
            {"holder", l.holder.name},
            {"reason", l.reason},
            {"expires_in_s", secondsLeft(l, ctx.nowMillis)}};
  }
  Json answer = {{"granted", true},
                 {"resource", l.resource},
                 {"ttl_s", ttl.seconds},
                 {"expires_at", base::isoUtc(l.expiresAtMillis)}};
  if (ttl.capped) {
    answer["ttl_capped"] = true;
  }
  return answer;
}

Json opLeaseRelease(const Json& request, const ops::Context& ctx, LeaseStore& store) {
  std::optional<std::string> resource = nonEmptyString(request, "resource");
  if (!resource) {
    return mustBeText("resource");
  }
  Holder other;
  std::string err;
  std::optional<Released> r = store.release(*resource, callerOf(ctx), ctx.nowMillis, &other, &err);
  if (!r) {
    return storeFailed(err);
  }
  switch (*r) {
    case Released::Yes:
      return {{"released", true}, {"resource", *resource}};
    case Released::HeldByOther:
      return {{"released", false}, {"resource", *resource}, {"holder", other.name}};
    case Released::NotHeld:
      break;
  }
  return {{"released", false}, {"resource", *resource}, {"error", "not held"}};
}

Json opLeaseStatus(const Json& request, const ops::Context& ctx, LeaseStore& store) {
  std::optional<std::string> resource;
  if (auto it = request.find("resource"); it != request.end() && !it->is_null()) {
    resource = nonEmptyString(request, "resource");
    if (!resource) {
      return mustBeText("resource");
    }
  }
  std::string err;
  std::optional<std::vector<Lease>> leases = store.live(resource, ctx.nowMillis, &err);
  if (!leases) {
    return storeFailed(err);
  }
  Holder me = callerOf(ctx);
  Json list = Json::array();
  for (const Lease& l : *leases) {
    list.push_back({{"resource", l.resource},
                    {"holder", l.holder.name},
                    {"reason", l.reason},
                    {"expires_in_s", secondsLeft(l, ctx.nowMillis)},
                    {"yours", sameHolder(l.holder, me)}});
  }
  return {{"leases", std::move(list)}};
}

}  // namespace leases
