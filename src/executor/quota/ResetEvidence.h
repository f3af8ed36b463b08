#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>

#include "executor/support/Json.h"
#include "executor/support/Parsing.h"

namespace corvane {

// Evidence that an account's usage window was reset early, from two
// consecutive quota readings of the account: the last reading is kept as an
// observation in the account's Codex home, and each new one is compared with
// it. A drop in usage before the announced reset time is an extra recovery
// granted by the service when the banked reset credits stayed complete and
// unchanged, a possible redemption of a banked credit when one was redeemed,
// and otherwise unknown; a drop at or after the reset time is a natural
// reset. Readings 30 minutes or more apart, or of another e-mail or plan,
// are never compared.
//
// Observation: {"observedAt": Unix seconds, "planType": the sample's or null,
// "email": the sample's lower-cased or "", "rateLimits": the normalised
// snapshot or {}, "banked": the banked-credit record when there is one}.
//
// All operations work on JSON values only and never fail, except those that
// touch the observation file (readObservation, observe). Malformed parts of
// a value yield no record, no evidence or no outcome. Stateless; one
// account's file is only ever used by one quota read at a time.
class ResetEvidence {
 public:
  static constexpr const char* observationFileName = "corvane-observation.json";
  // Readings further apart than this are not compared.
  static constexpr double baselineSeconds = 1800;
  static constexpr size_t maximumCredits = 256;
  static constexpr size_t maximumCreditIDBytes = 512;
  // Room for the largest observation a reading can produce: two runtime
  // answers of at most a mebibyte each, 256 credits among them.
  static constexpr size_t observationFileLimit = 4 * 1024 * 1024;

  static std::filesystem::path observationFile(const std::filesystem::path& home) { return home / observationFileName; }

  // value as a double when it is a finite JSON number (not a boolean);
  // nothing otherwise, absent (nullptr) included.
  static std::optional<double> number(const Json* value);

  // The banked-credit record of a raw "rateLimitResetCredits" value:
  // {"availableCount": whole number >= 0, "credits": [...]}, "credits" only
  // when all of at most 256 credits pass the credit rules (id of 1 to 512
  // bytes and unique, known status and reset type, grantedAt > 0, expiresAt
  // > 0 or null), each reduced to those fields. Nothing without a valid
  // availableCount.
  static std::optional<Json> banked(const Json* value);

  // The observation of a reading taken at now: summary is the quota sample
  // so far ("planType", "email", "rateLimits"), raw the runtime's rate-limit
  // result.
  static Json sample(const Json& summary, const Json& raw, WallTime now);

  // The observation's credits when its record is complete: every credit a
  // rate-limit reset, none of unknown status, and as many available as
  // availableCount says.
  static std::optional<Json> completeCredits(const Json& observation);

  // The observation's "fiveHour" and "weekly" windows from its codex bucket
  // (the limit map's, else "rateLimits"); when both windows have one
  // length, "secondary" is kept.
  static Json windows(const Json& observation);

  // The evidence between two readings of one account: {"version": 1, "id":
  // new UUID, "beforeAt", "observedAt", "bankedStable", "outcomes",
  // "baseline": the previous windows}. Nothing without a previous reading,
  // or unless current is later by less than baselineSeconds, with one
  // non-empty e-mail and one plan type.
  static std::optional<Json> compare(const std::optional<Json>& previous, const Json& current);

  // Why the comparison came out as it did ("reason": "baseline_missing",
  // "identity_missing_or_changed", "plan_changed", "non_increasing_samples",
  // "baseline_expired", "recovery_observed" or "unchanged"), with the
  // previous reading's time and windows and whether both credit records
  // were complete. report is what compare returned.
  static Json diagnostic(const std::optional<Json>& previous, const Json& current, const std::optional<Json>& report);

  // The observation kept in file. Nothing when the file is missing, too
  // large or not a JSON object (it is then replaced by the next write).
  // CVError.storage when a symbolic link or anything but a regular file is
  // in its place, or it exists and cannot be read.
  static std::optional<Json> readObservation(const std::filesystem::path& file);

  // One quota read's share: compares the reading with the observation in
  // file, replaces that with the reading's own, and sets the sample's
  // "_resetDiagnostic" and, when there is evidence, "resetEvidence" (removed
  // otherwise). Fails as readObservation and atomicPrivateJSON do; the
  // sample is changed only on success.
  static void observe(Json& sample, const Json& raw, const std::filesystem::path& file, WallTime now);
};

}  // namespace corvane
