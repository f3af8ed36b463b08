// The runtime's "account/rateLimits/read" result, through what the Codex
// adapter's read does with it: the whitelist that decides what may leave the
// machine, the window keys, the window history and the reset evidence.
#include "FuzzSupport.h"
#include "executor/quota/QuotaWhitelist.h"
#include "executor/quota/ResetEvidence.h"
#include "executor/quota/WindowKey.h"
#include "executor/quota/WindowLifecycle.h"
#include "executor/support/CVError.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto raw = parseJSON(fuzz::text(data, size));
  if (!raw) return 0;
  Json limits;
  try {
    limits = quotaWhitelist(*raw);
  } catch (const CVError&) {
    return 0;
  }
  // The whitelist is its own fixed point: what it lets through passes again
  // unchanged.
  try {
    fuzz::require(quotaWhitelist(limits) == limits, "the whitelist changes its own output");
  } catch (const CVError&) {
    fuzz::require(false, "the whitelist refuses its own output");
  }
  fuzz::require(isSerializable(limits), "the whitelist keeps what cannot be written");
  const Json* byLimit = member(limits, "rateLimitsByLimitId");
  for (const Json* bucket : {member(limits, "rateLimits"), byLimit ? member(*byLimit, "codex") : nullptr}) {
    if (!bucket) continue;
    for (const char* window : {"primary", "secondary"})
      if (const Json* value = member(*bucket, window)) windowKey(member(*value, "windowDurationMins"));
  }

  Json sample = {{"planType", "plus"}, {"email", "user@example.com"}, {"rateLimits", limits}};
  const auto& home = fuzz::freshScratchDirectory();
  WallTime now = WallTime(std::chrono::seconds(1798761600));
  try {
    // Twice, so the second reading meets the history of the first.
    for (int reading = 0; reading < 2; ++reading) {
      Json current = sample;
      current["windowStates"] = WindowLifecycle::record(current, WindowLifecycle::stateFile(home), now);
      ResetEvidence::observe(current, *raw, ResetEvidence::observationFile(home), now);
      WindowLifecycle::fingerprint(current);
      now += std::chrono::seconds(60);
    }
  } catch (const CVError&) {
  }
  return 0;
}
