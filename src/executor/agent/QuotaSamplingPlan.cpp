#include "executor/agent/QuotaSamplingPlan.h"

#include <algorithm>

#include "executor/agent/ExecutorTask.h"
#include "executor/quota/WindowLifecycle.h"
#include "executor/support/CVError.h"

namespace corvane {

namespace {

// Not translated: it names a protocol fault the user cannot act on.
CVError invalidPlan() { return CVError::invalid("Invalid quota sampling plan"); }

std::optional<WallTime> optionalTime(const Json& plan, std::string_view key) {
  const Json* value = member(plan, key);
  if (!value || value->is_null()) return std::nullopt;
  if (!value->is_string()) throw invalidPlan();
  return parseTime(value);
}

}  // namespace

QuotaSamplingPlan::QuotaSamplingPlan(const Json& plan) {
  if (!plan.is_object()) throw invalidPlan();
  accountID = string(member(plan, "accountId"), "accountId");
  if (!isIdentifier(accountID)) throw invalidPlan();
  credentialID = string(member(plan, "credentialId"), "credentialId");
  if (!isIdentifier(credentialID)) throw invalidPlan();

  auto version = positiveWholeNumber(member(plan, "bindingVersion"));
  if (!version) throw invalidPlan();
  bindingVersion = *version;

  const Json* seconds = member(plan, "intervalSeconds");
  if (!seconds || !seconds->is_number() || seconds->is_boolean()) throw invalidPlan();
  interval = seconds->get<double>();
  if (interval != 60 && interval != 300) throw invalidPlan();

  const Json* until = member(plan, "validUntil");
  if (until && !until->is_string()) throw invalidPlan();
  validUntil = parseTime(until);
  foregroundUntil = optionalTime(plan, "foregroundUntil");
  nextResetAt = optionalTime(plan, "nextResetAt");
}

void QuotaSamplingCursor::observed(const Json& sample, double now) {
  const Json* states = member(sample, "windowStates");
  const Json phases = states && states->is_object() ? *states : Json::object();
  std::string written = compactJSON(phases);
  bool unknown = std::any_of(phases.begin(), phases.end(), [](const Json& phase) { return phase == "unknown"; });
  if (written != lastPhases && unknown) confirmationUntil = now + confirmationSeconds;
  lastPhases = std::move(written);
}

bool QuotaSamplingCursor::shouldReport(const Json& sample, double now, bool resetDue) const {
  if (resetDue) return true;
  const Json* evidence = member(sample, "resetEvidence");
  const Json* outcomes = evidence ? member(*evidence, "outcomes") : nullptr;
  if (outcomes && outcomes->is_array() && !outcomes->empty()) return true;
  if (now - lastReportAt >= reportSeconds) return true;
  return WindowLifecycle::fingerprint(sample) != lastReported;
}

}  // namespace corvane
