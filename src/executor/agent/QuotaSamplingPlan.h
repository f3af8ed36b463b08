#pragma once

#include <limits>
#include <optional>
#include <string>

#include "executor/support/Json.h"
#include "executor/support/Parsing.h"

namespace corvane {

// How closely the coordinator wants one account's usage limits watched. Every
// time is on the coordinator's clock.
struct QuotaSamplingPlan {
  std::string accountID;
  std::string credentialID;
  int64_t bindingVersion = 0;
  double interval = 0;  // seconds between readings: 60 or 300
  WallTime validUntil;
  std::optional<WallTime> foregroundUntil;  // read every 15 s until then
  std::optional<WallTime> nextResetAt;      // read at once when this has passed

  // Reads one plan object, its members in the order above. "Missing
  // accountId" (credentialId) for an absent or empty string, parseTime's
  // errors for a time that does not parse, and CVError.invalid "Invalid quota
  // sampling plan" for anything else: an id that is not an identifier, a
  // binding version that is not a positive whole number within 64 bits, an
  // interval other than exactly 60 or 300, a time that is not a string.
  // JSON null for the two optional times means none.
  explicit QuotaSamplingPlan(const Json& plan);

  bool operator==(const QuotaSamplingPlan&) const = default;
};

// The sampler's memory of one account. Every time is a reading of the
// monotonic clock (continuousSeconds); a fresh cursor has never worked.
struct QuotaSamplingCursor {
  double lastAttempt = -std::numeric_limits<double>::infinity();
  double confirmationUntil = 0;              // sampled every 15 s until then
  std::optional<WallTime> lastResetChecked;  // the plan's nextResetAt last handled as due
  std::optional<std::string> lastPhases;     // canonical JSON of the window states last seen
  std::optional<std::string> lastReported;   // window fingerprint of the last report
  double lastReportAt = -std::numeric_limits<double>::infinity();
  double retryAt = 0;  // no work before this

  // Sampled every 15 s for this long after a change worth confirming.
  static constexpr double confirmationSeconds = 120;
  // A reading is reported at least this often while readings go on.
  static constexpr double reportSeconds = 300;

  // Takes in the window phases of sample (its "windowStates"; none counts as
  // {}), read at now: a change while a phase is "unknown" opens a
  // confirmation window. CVError.invalid("Invalid JSON") when the phases
  // cannot be written, and then nothing changes.
  void observed(const Json& sample, double now);

  // Whether sample, read at now, is worth a report: a due reset, evidence
  // with outcomes, no report for reportSeconds, or windows that differ from
  // the last report's. Fails as the window fingerprint does.
  bool shouldReport(const Json& sample, double now, bool resetDue) const;

  bool operator==(const QuotaSamplingCursor&) const = default;
};

}  // namespace corvane
