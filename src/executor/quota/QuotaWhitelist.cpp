#include "executor/quota/QuotaWhitelist.h"

#include <cmath>

#include "executor/quota/ResetEvidence.h"
#include "executor/support/CVError.h"

namespace corvane {

namespace {

CVError protocolError() { return CVError::runtime("protocol_error"); }

// A rule-abiding copy of one window; the first broken rule fails it.
Json window(const Json& value) {
  auto used = ResetEvidence::number(member(value, "usedPercent"));
  if (!used || *used < 0 || *used > 100) throw protocolError();
  const Json* duration = member(value, "windowDurationMins");
  if (duration && !duration->is_null()) {
    auto minutes = ResetEvidence::number(duration);
    if (!minutes || *minutes < 1 || std::floor(*minutes) != *minutes) throw protocolError();
  }
  const Json* resetsAt = member(value, "resetsAt");
  if (resetsAt && !resetsAt->is_null() && !ResetEvidence::number(resetsAt)) throw protocolError();

  Json out = Json::object();
  for (const char* key : {"usedPercent", "windowDurationMins", "resetsAt"}) {
    const Json* kept = member(value, key);
    out[key] = kept ? *kept : Json();
  }
  return out;
}

Json bucket(const Json& value) {
  if (value.is_null()) throw protocolError();
  object(value);  // anything else that is not an object is invalid JSON
  Json out = Json::object();
  if (const Json* limit = member(value, "limitId")) {
    if (!limit->is_null() && *limit != "codex") throw protocolError();
    out["limitId"] = *limit;
  }
  for (const char* key : {"primary", "secondary"}) {
    const Json* found = member(value, key);
    if (!found || found->is_null())
      out[key] = nullptr;
    else
      out[key] = window(object(found));
  }
  return out;
}

}  // namespace

Json quotaWhitelist(const Json& result) {
  Json out = Json::object();
  if (const Json* limits = member(result, "rateLimits")) out["rateLimits"] = bucket(*limits);
  // Only the "codex" limit is ever reported; other limits are dropped, and a
  // map without it (or no map) is as good as none.
  if (const Json* byLimit = member(result, "rateLimitsByLimitId"))
    if (const Json* codex = member(*byLimit, "codex"))
      out["rateLimitsByLimitId"] = Json::object({{"codex", bucket(*codex)}});
  if (out.empty()) throw protocolError();
  return out;
}

}  // namespace corvane
