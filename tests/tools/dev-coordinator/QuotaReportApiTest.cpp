#include <string>

#include "CoordinatorFixture.h"

namespace corvane::test {
namespace {

using Json = nlohmann::json;

class QuotaReportApiTest : public CoordinatorFixture {
 protected:
  QuotaReportApiTest() {
    Json code = coordinator.createPairingCode();
    token = post("/v1/executor/pair", {{"code", code["code"]}, {"name", "Test"}}).json()["token"];
  }

  HttpExchangeResponse report(const Json& body) {
    return post("/v1/executor/quota-report", body, {{"Authorization", "Bearer " + token}});
  }

  std::string token;
};

TEST_F(QuotaReportApiTest, AnswersFromTheQueueThenFromTheDefault) {
  coordinator.control("executor/offers", {{"offer", {{"id", "t1"}, {"action", "read"}}}, {"wake", false}});
  coordinator.control("executor/quota-reports", {{"answers",
                                                  {{{"receipt", "rejected"}, {"reason", "recovery_replayed"}},
                                                   {{"receipt", "missing"}, {"offers", true}},
                                                   {{"status", 409}},
                                                   {{"receipt", "duplicate"}, {"answer", {{"extra", 1}}}}}},
                                                 {"default", {{"receipt", "unknown"}}}});

  struct Expected {
    unsigned status;
    Json body;
  };
  const Expected expected[] = {
      {200, {{"tasks", Json::array()}, {"recoveryReceipt", {{"status", "rejected"}, {"reason", "recovery_replayed"}}}}},
      {200, {{"tasks", {{{"id", "t1"}, {"action", "read"}}}}}},
      {409, {{"error", "quota_report_refused"}, {"message", "the quota report was refused as scripted"}}},
      {200, {{"tasks", Json::array()}, {"recoveryReceipt", {{"status", "duplicate"}, {"reason", ""}}}, {"extra", 1}}},
      {200, {{"tasks", Json::array()}, {"recoveryReceipt", {{"status", "unknown"}, {"reason", ""}}}}},
      {200, {{"tasks", Json::array()}, {"recoveryReceipt", {{"status", "unknown"}, {"reason", ""}}}}},
  };
  int index = 0;
  for (const auto& [status, body] : expected) {
    auto answer = report({{"accountId", "a"}, {"n", index}});
    EXPECT_EQ(answer.status, status) << index;
    EXPECT_EQ(answer.json(), body) << index;
    ++index;
  }

  // Every report is kept as it arrived, the refused one included.
  Json state = coordinator.control("executor/quota-reports");
  ASSERT_EQ(state["received"].size(), 6u);
  EXPECT_EQ(state["received"][2], (Json{{"accountId", "a"}, {"n", 2}}));
  EXPECT_TRUE(state["answers"].empty());
  EXPECT_EQ(state["default"], (Json{{"receipt", "unknown"}}));

  coordinator.control("executor/reset");
  EXPECT_TRUE(coordinator.control("executor/quota-reports")["received"].empty());
  EXPECT_EQ(report(Json::object()).json()["recoveryReceipt"]["status"], "accepted");
}

TEST_F(QuotaReportApiTest, RefusesAMalformedScriptAndKeepsTheOldOne) {
  coordinator.control("executor/quota-reports", {{"answers", {{{"receipt", "missing"}}}}});
  for (const Json& bad :
       {Json{{"answers", {{{"receipt", "maybe"}}}}}, Json{{"answers", {{{"status", 200}}}}},
        Json{{"default", {{"offers", "yes"}}}}, Json{{"answers", {{{"colour", "red"}}}}}, Json{{"answers", 5}}})
    EXPECT_THROW(coordinator.control("executor/quota-reports", bad), std::runtime_error) << bad.dump();
  EXPECT_FALSE(report(Json::object()).json().contains("recoveryReceipt"));
  // Only paired devices may report.
  EXPECT_EQ(post("/v1/executor/quota-report", Json::object()).status, 401u);
}

}  // namespace
}  // namespace corvane::test
