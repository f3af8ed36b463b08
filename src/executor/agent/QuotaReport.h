#pragma once

#include <optional>
#include <string>

#include "executor/state/Journal.h"
#include "executor/support/Json.h"
#include "executor/support/Parsing.h"

namespace corvane {

// A quota report is what one reading of an account becomes: {"accountId",
// "bindingVersion", "data" (the quota sample; absent in an error report),
// "errorCode" (error reports only), "readStartedAt", "readCompletedAt",
// "recoveryReport" (a trimmed earlier report carrying recovery evidence) and
// "refreshRequired" (true: read again before sending; never uploaded)}. It
// waits in the journal's outbox, one per account, until the coordinator has
// acknowledged it. These are the decisions made about one, all on JSON values
// alone; none of them fails.
struct QuotaReport {
  // A pending report older than this (by "readStartedAt") is read afresh
  // before it is sent again.
  static constexpr double freshSeconds = 45;
  // Recovery evidence is carried from report to report for at most this long.
  static constexpr double recoverySeconds = 1800;
  // An evidence time may lie this far ahead of the server's clock.
  static constexpr double clockSkewSeconds = 5;
  // At most this many outcomes of the evidence reach the diagnostics.
  static constexpr size_t diagnosticOutcomes = 3;

  // The privacy-reduced value kept in the quota diagnostics: flags, times,
  // the binding, known codes and reasons, the numbers of the usage windows
  // and the kinds of the evidence's first outcomes. Never an e-mail, a plan
  // type or free text. {} without a report.
  static Json diagnostic(const std::optional<Json>& report);

  // Whether a pending report must be read again before it is sent: marked
  // for refresh, without a readable "readStartedAt", or read more than
  // freshSeconds before now (the server's current time).
  static bool needsRefresh(const Json& report, WallTime now);

  // The recovery evidence worth carrying forward from report (its own
  // "recoveryReport", else itself): a trimmed copy when its evidence is
  // consistent, younger than recoverySeconds and records an extra recovery
  // or a banked grant. Nothing otherwise.
  static std::optional<Json> recovery(const Json& report, WallTime now);
};

// Records one row of quota diagnostics for accountID: reason (an outcome of
// the report cycle or a task's reason) and the diagnostic value of report,
// with "httpStatus" when given, stamped with now; then prunes old rows. Never
// fails: a failure is logged as "Quota diagnostic write failed" and dropped.
void diagnoseQuota(Journal& journal, WallTime now, const std::string& accountID, const std::string& reason,
                   const std::optional<Json>& report, std::optional<int> httpStatus) noexcept;

}  // namespace corvane
