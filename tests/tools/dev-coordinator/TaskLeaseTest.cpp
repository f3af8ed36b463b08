#include <string>

#include "CoordinatorFixture.h"

namespace corvane::test {
namespace {

using Json = nlohmann::json;

class TaskLeaseTest : public CoordinatorFixture {
 protected:
  TaskLeaseTest() {
    Json code = coordinator.createPairingCode();
    token = post("/v1/executor/pair", {{"code", code["code"]}, {"name", "Test"}}).json()["token"];
  }

  HttpExchangeResponse step(const std::string& id, const std::string& name, const Json& body = Json::object()) {
    return post("/v1/executor/tasks/" + id + "/" + name, body, {{"Authorization", "Bearer " + token}});
  }
  Json offeredIDs() {
    Json ids = Json::array();
    auto answer = post("/v1/executor/sync", Json::object(), {{"Authorization", "Bearer " + token}}).json();
    for (const auto& task : answer["tasks"]) ids.push_back(task["id"]);
    return ids;
  }

  std::string token;
};

// A claim is final unless asked otherwise; with reofferExpired a lease that
// ran out without a result puts the task back on offer, once more claimable,
// and the old lease no longer completes it.
TEST_F(TaskLeaseTest, AnExpiredLeaseIsOfferedAgainOnlyWhenAskedAndOnlyWithoutAResult) {
  coordinator.control("executor/answers", {{"leaseSeconds", 0}});
  coordinator.control("executor/offers", {{"offers", {{{"id", "t1"}}, {{"id", "t2"}}}}, {"wake", false}});
  std::string first = step("t1", "claim").json()["leaseId"];
  std::string done = step("t2", "claim").json()["leaseId"];
  EXPECT_EQ(step("t2", "complete", {{"leaseId", done}, {"result", "succeeded"}}).status, 200u);
  EXPECT_EQ(step("t1", "claim").status, 409u);
  EXPECT_EQ(offeredIDs(), Json::array());

  coordinator.control("executor/answers", {{"reofferExpired", true}});
  EXPECT_EQ(offeredIDs(), Json::array({"t1"}));
  auto again = step("t1", "claim");
  ASSERT_EQ(again.status, 200u);
  std::string second = again.json()["leaseId"];
  EXPECT_NE(second, first);
  EXPECT_EQ(step("t1", "complete", {{"leaseId", first}, {"result", "succeeded"}}).status, 409u);
  EXPECT_EQ(step("t1", "complete", {{"leaseId", second}, {"result", "succeeded"}}).status, 200u);
  EXPECT_EQ(offeredIDs(), Json::array());
  Json record = coordinator.control("executor/tasks", {{"id", "t1"}})["tasks"][0];
  EXPECT_EQ(record["claims"], 2);
  EXPECT_EQ(record["completions"].size(), 1u);
}

}  // namespace
}  // namespace corvane::test
