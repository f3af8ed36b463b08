#include "executor/agent/QuotaReport.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "QuotaDiagnosticRows.h"
#include "executor/state/Journal.h"
#include "support/ManualClock.h"
#include "support/TemporaryDirectory.h"

namespace corvane::test {
namespace {

using std::chrono::seconds;

WallTime timeOf(const char* text) {
  Json value(text);
  return parseTime(&value);
}

const WallTime now = timeOf("2026-03-01T12:00:00Z");
const double nowUnix = std::chrono::duration<double>(now.time_since_epoch()).count();

Json evidence(double beforeAt, double observedAt, Json outcomes) {
  return Json{{"version", 1},
              {"id", "ev-1"},
              {"beforeAt", beforeAt},
              {"observedAt", observedAt},
              {"bankedStable", true},
              {"outcomes", std::move(outcomes)},
              {"baseline", {{"fiveHour", {{"usedPercent", 90}, {"windowDurationMins", 300}, {"resetsAt", 1.7e9}}}}}};
}

Json reportWith(const Json& resetEvidence) {
  return Json{{"accountId", "acct"},
              {"bindingVersion", 3},
              {"readStartedAt", "2026-03-01T11:59:00Z"},
              {"readCompletedAt", "2026-03-01T11:59:01Z"},
              {"data",
               {{"planType", "pro"},
                {"email", "person@example.com"},
                {"rateLimits",
                 {{"rateLimits",
                   {{"limitId", "codex"},
                    {"primary", {{"usedPercent", 12.5}, {"windowDurationMins", 300}, {"resetsAt", 1.8e9}}},
                    {"secondary", {{"usedPercent", true}, {"windowDurationMins", 10080}, {"resetsAt", nullptr}}}}}}},
                {"windowStates", {{"fiveHour", "active"}, {"weekly", "sleeping"}}},
                {"_resetDiagnostic", {{"reason", "recovery_observed"}, {"beforeAt", 5}, {"free", "text"}}},
                {"resetEvidence", resetEvidence}}}};
}

TEST(QuotaReportTest, TheDiagnosticValueKeepsNothingThatIdentifiesThePerson) {
  Json outcomes = Json::array();
  for (const char* kind : {"extra_recovery", "banked_grant", "made_up", "natural_reset", "unknown_recovery"})
    outcomes.push_back({{"kind", kind}, {"windowKey", "fiveHour"}, {"confidence", "observed"}});
  outcomes[1]["windowKey"] = "duration_60";
  Json report = reportWith(evidence(nowUnix - 100, nowUnix - 10, outcomes));
  report["recoveryReceipt"] = {{"status", "rejected"}, {"reason", "recovery_replayed"}};
  report["errorCode"] = "Some Free Text";
  report["taskId"] = "task-1";
  report["recoveryReport"] = {{"data", report["data"]}, {"accountId", "acct"}, {"bindingVersion", 2}};

  Json value = QuotaReport::diagnostic(report);
  std::string written = value.dump();
  for (const char* secret : {"person@example.com", "pro", "Some Free Text", "text"})
    EXPECT_EQ(written.find(secret), std::string::npos) << secret << " in " << written;

  EXPECT_EQ(value["outcomes"], (Json{{{"kind", "extra_recovery"}, {"windowKey", "fiveHour"}},
                                     {{"kind", "banked_grant"}},
                                     {{"windowKey", "fiveHour"}}}));
  EXPECT_EQ(value["windows"],
            (Json{{"fiveHour",
                   {{"usedPercent", 12.5}, {"windowDurationMins", 300}, {"resetsAt", 1.8e9}, {"lifecycle", "active"}}},
                  {"weekly", {{"windowDurationMins", 10080}}}}));
  EXPECT_EQ(value["recoveryReason"], "recovery_replayed");
  EXPECT_EQ(value["comparisonReason"], "recovery_observed");
  EXPECT_EQ(value["taskId"], "task-1");
  EXPECT_FALSE(value.contains("errorCode"));
  // The evidence's own times win over the comparison's.
  EXPECT_EQ(value["beforeAt"], nowUnix - 100);
  EXPECT_EQ(value["before"],
            (Json{{"fiveHour", {{"usedPercent", 90}, {"windowDurationMins", 300}, {"resetsAt", 1.7e9}}}}));
  EXPECT_EQ(value["readStartedAt"], nowUnix - 60);
  EXPECT_EQ(value["bindingVersion"], 3);
  EXPECT_EQ(value["recovery"]["bindingVersion"], 2);
  EXPECT_EQ(value["recovery"]["outcomes"].size(), 3u);
  EXPECT_TRUE(value["hasRecoveryReport"]);
  EXPECT_TRUE(value["hasEvidence"]);
  EXPECT_FALSE(value["refreshRequired"]);

  EXPECT_EQ(QuotaReport::diagnostic(std::nullopt), Json::object());
  Json error = QuotaReport::diagnostic(Json{{"errorCode", "codex_quota_read_rate_limited"}, {"sendAllowed", false}});
  EXPECT_EQ(error["errorCode"], "codex_quota_read_rate_limited");
  EXPECT_EQ(error["sendAllowed"], false);
  EXPECT_FALSE(error.contains("evidenceId"));
  EXPECT_EQ(QuotaReport::diagnostic(Json{{"errorCode", "not_authenticated"}})["errorCode"], "not_authenticated");
}

TEST(QuotaReportTest, APendingReportIsReadAgainWhenMarkedOrOlderThan45Seconds) {
  struct Case {
    Json report;
    bool refresh;
  };
  const Case cases[] = {
      {{{"readStartedAt", "2026-03-01T11:59:15Z"}}, false},
      {{{"readStartedAt", "2026-03-01T11:59:14Z"}}, true},
      {{{"readStartedAt", "2026-03-01T12:00:00Z"}, {"refreshRequired", true}}, true},
      {{{"readStartedAt", "2026-03-01T12:00:00Z"}, {"refreshRequired", "true"}}, false},
      {{{"readStartedAt", "yesterday"}}, true},
      {Json::object(), true},
  };
  for (const auto& [report, refresh] : cases) EXPECT_EQ(QuotaReport::needsRefresh(report, now), refresh) << report;
}

TEST(QuotaReportTest, RecoveryEvidenceIsCarriedOnlyWhileItIsConsistentAndYoung) {
  Json recovered = {{{"kind", "extra_recovery"}}};
  struct Case {
    const char* name;
    Json report;
    bool carried;
  };
  Json textTimes = evidence(nowUnix - 100, nowUnix - 10, recovered);
  textTimes["beforeAt"] = "1";
  Json nested = {{"accountId", "acct"},
                 {"data", {{"planType", "pro"}}},
                 {"recoveryReport", reportWith(evidence(nowUnix - 100, nowUnix - 10, recovered))}};
  const Case cases[] = {
      {"young", reportWith(evidence(nowUnix - 1799, nowUnix - 10, recovered)), true},
      {"too old", reportWith(evidence(nowUnix - 1800, nowUnix - 10, recovered)), false},
      {"observed within the skew", reportWith(evidence(nowUnix - 100, nowUnix + 5, recovered)), true},
      {"observed in the future", reportWith(evidence(nowUnix - 100, nowUnix + 6, recovered)), false},
      {"not later", reportWith(evidence(nowUnix - 10, nowUnix - 10, recovered)), false},
      {"a natural reset", reportWith(evidence(nowUnix - 100, nowUnix - 10, {{{"kind", "natural_reset"}}})), false},
      {"a banked grant", reportWith(evidence(nowUnix - 100, nowUnix - 10, {{{"kind", "banked_grant"}}})), true},
      {"outcomes not all objects", reportWith(evidence(nowUnix - 100, nowUnix - 10, {{{"kind", "banked_grant"}}, 5})),
       false},
      {"times not numbers", reportWith(textTimes), false},
      {"no evidence", reportWith(nullptr), false},
      {"the carried report's own", nested, true},
  };
  for (const auto& [name, report, carried] : cases) {
    auto recovery = QuotaReport::recovery(report, now);
    EXPECT_EQ(recovery.has_value(), carried) << name;
  }

  auto trimmed = QuotaReport::recovery(nested, now);
  ASSERT_TRUE(trimmed);
  EXPECT_EQ((*trimmed)["bindingVersion"], 3);
  std::vector<std::string> keys, dataKeys;
  for (const auto& [key, value] : trimmed->items()) keys.push_back(key);
  for (const auto& [key, value] : (*trimmed)["data"].items()) dataKeys.push_back(key);
  EXPECT_EQ(keys,
            (std::vector<std::string>{"accountId", "bindingVersion", "data", "readCompletedAt", "readStartedAt"}));
  EXPECT_EQ(dataKeys, (std::vector<std::string>{"email", "planType", "rateLimits", "resetEvidence", "windowStates"}));
}

TEST(QuotaReportTest, DiagnosticsAreRowsInTheJournalAndAFailedWriteIsDropped) {
  TemporaryDirectory directory;
  ManualClock clock(now);
  Journal journal(directory / "agent.sqlite3", clock);
  diagnoseQuota(journal, now, "acct", "report_binding_rejected", Json{{"bindingVersion", 2}}, 409);
  diagnoseQuota(journal, now + seconds(1), "acct", "task_sample", std::nullopt, std::nullopt);

  auto rows = quotaDiagnosticRows(directory / "agent.sqlite3");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].accountID, "acct");
  EXPECT_EQ(std::stod(rows[0].recordedAt), nowUnix);
  EXPECT_EQ(rows[0].reason, "report_binding_rejected");
  EXPECT_EQ(rows[0].value["httpStatus"], 409);
  EXPECT_EQ(rows[0].value["bindingVersion"], 2);
  EXPECT_EQ(rows[1].value, Json::object());

  journal.execute("DROP TABLE quota_diagnostics");
  EXPECT_NO_THROW(diagnoseQuota(journal, now, "acct", "sample_persisted", Json::object(), std::nullopt));
}

}  // namespace
}  // namespace corvane::test
