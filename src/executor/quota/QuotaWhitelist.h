#pragma once

#include "executor/support/Json.h"

namespace corvane {

// The normalised snapshot of an "account/rateLimits/read" result: what of an
// account's rate limits may leave the machine. It holds "rateLimits" when the
// result has that key, and "rateLimitsByLimitId" with the one key "codex"
// when the result's map has it; each bucket keeps only "limitId" (null or
// "codex", when given), "primary" and "secondary", each window only
// "usedPercent" (a number from 0 to 100), "windowDurationMins" (null or a
// whole number of at least 1) and "resetsAt" (null or a number), absent
// ones as null. Every other member is dropped.
//
// Fails with CVError.runtime("protocol_error") when the result holds neither
// bucket, a bucket is null, a limitId is another value, or a window breaks a
// rule; with CVError.invalid("Invalid JSON object") when a bucket or a window
// is present but not an object.
Json quotaWhitelist(const Json& result);

}  // namespace corvane
