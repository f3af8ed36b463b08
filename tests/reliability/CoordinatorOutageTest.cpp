// The coordinator down for ten minutes of injected time: every request of the
// agent answered 503. Results stored before and during the outage all reach
// the coordinator once it is back, each exactly once, and no wait of the
// agent grows past 300 s.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dev-coordinator/testing/DevCoordinator.h"
#include "executor/agent/Agent.h"
#include "executor/coordinator/CoordinatorClient.h"
#include "executor/state/Journal.h"
#include "reliability/AgentProcess.h"
#include "reliability/ReliabilityRun.h"
#include "support/ManualClock.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

using test::eventually;

// Injected time: the sync loop's waits move the manual clock forward by what
// they ask for instead of sleeping (after a short real pause, so the worker
// threads get their turn at each moment); worker pauses are short real
// waits that leave the clock alone.
class InjectedTimer final : public AgentTimer {
 public:
  InjectedTimer() : clock_(std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now())) {}

  const platform::Clock& clock() const override { return clock_; }
  double jitter() override {
    std::lock_guard guard(mutex_);
    return std::uniform_real_distribution<double>(0.8, 1.2)(random_);
  }

  void wait(Wait kind, std::condition_variable& condition, std::unique_lock<std::mutex>& lock, double seconds,
            const std::function<bool()>& done) override {
    if (kind == Wait::worker) {
      condition.wait_for(lock, std::chrono::milliseconds(5), done);
      return;
    }
    condition.wait_for(lock, std::chrono::milliseconds(40), done);
    {
      std::lock_guard guard(mutex_);
      syncWaits_.push_back(seconds);
    }
    if (!done()) clock_.advance(std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6)));
  }

  double elapsed() const { return clock_.continuousSeconds() - start_; }
  std::vector<double> syncWaits() {
    std::lock_guard guard(mutex_);
    return syncWaits_;
  }

 private:
  test::ManualClock clock_;
  double start_ = clock_.continuousSeconds();
  std::mutex mutex_;
  std::mt19937_64 random_ = test::randomSource("coordinator-outage");
  std::vector<double> syncWaits_;
};

TEST(CoordinatorOutageTest, TenMinutesDownLoseNoResultAndNoWaitPassesThreeHundredSeconds) {
  test::DevCoordinator coordinator;
  test::TemporaryDirectory directory;
  InjectedTimer timer;
  auto code = coordinator.createPairingCode()["code"].get<std::string>();
  CoordinatorClient unpaired(coordinator.httpOrigin(), std::nullopt, true);
  std::string token = unpaired.post("/v1/executor/pair", Json{{"code", code}, {"name", "outage"}})["token"];
  CoordinatorClient client(coordinator.httpOrigin(), token, true);
  Journal journal(directory / "agent.sqlite3", timer.clock());

  // Tasks claimed before the outage: half of them finished then, the others
  // finish while the coordinator is down.
  const int count = test::ReliabilitySettings::current().shortRun ? 6 : 20;
  std::vector<std::string> ids;
  Json offers = Json::array();
  for (int n = 0; n < count; ++n) {
    ids.push_back("outage-" + std::to_string(n));
    offers.push_back(Json{{"id", ids.back()},
                          {"accountId", "account-" + std::to_string(n)},
                          {"credentialId", "c" + std::to_string(n)},
                          {"bindingVersion", 1},
                          {"action", n % 3 == 0 ? "remove" : "read"},
                          {"expiresAt", "2099-01-01T00:00:00Z"}});
  }
  coordinator.control("executor/offers", {{"offers", offers}, {"wake", false}});
  auto resultOf = [](int n) { return Json{{"result", "succeeded"}, {"data", {{"n", n}}}}; };
  for (int n = 0; n < count; ++n) {
    Json claim = client.post("/v1/executor/tasks/" + ids[n] + "/claim", Json::object());
    journal.execute("INSERT INTO tasks(id,lease_id,stage,action) VALUES (?,?,?,?)",
                    {ids[n], claim["leaseId"].get<std::string>(), "sending", n % 3 == 0 ? "remove" : "read"});
    if (n % 2 == 0) journal.finish(ids[n], resultOf(n));
  }

  coordinator.addFault({{"path", "/v1/executor/*"}, {"status", 503}, {"times", 0}});
  Agent agent(client, journal, AgentHooks{}, timer);
  std::thread loop([&] { agent.run(); });

  ASSERT_TRUE(eventually([&] { return timer.elapsed() >= 120; }, 120));
  for (int n = 1; n < count; n += 2) journal.finish(ids[n], resultOf(n));
  ASSERT_TRUE(eventually([&] { return timer.elapsed() >= 600; }, 120));
  size_t refused = 0;
  for (const auto& request : coordinator.requests())
    if (request["status"] == 503) ++refused;
  for (const auto& id : ids)
    EXPECT_TRUE(coordinator.control("executor/tasks", {{"id", id}})["tasks"][0]["completions"].empty());

  coordinator.control("faults/clear");
  double back = timer.elapsed();
  auto allDelivered = [&] {
    for (const auto& id : ids)
      if (coordinator.control("executor/tasks", {{"id", id}})["tasks"][0]["completions"].empty()) return false;
    return journal.pending().empty();
  };
  bool delivered = eventually(allDelivered, 120);
  double took = timer.elapsed() - back;
  agent.stop();
  loop.join();
  ASSERT_TRUE(delivered) << "results left after the outage";

  // Every result arrived once, as stored; the longest it could wait after the
  // outage is one delivery back-off (300 s) and one sync interval.
  for (int n = 0; n < count; ++n) {
    Json record = coordinator.control("executor/tasks", {{"id", ids[n]}})["tasks"][0];
    ASSERT_EQ(record["completions"].size(), 1u) << ids[n];
    Json body = record["completions"][0];
    EXPECT_EQ(body["leaseId"], record["leaseId"]);
    body.erase("leaseId");
    EXPECT_EQ(body, resultOf(n)) << ids[n];
  }
  EXPECT_LE(took, 300 + 30);
  auto waits = timer.syncWaits();
  ASSERT_FALSE(waits.empty());
  EXPECT_LE(*std::max_element(waits.begin(), waits.end()), 300);
  EXPECT_GE(*std::max_element(waits.begin(), waits.end()), 240) << "the back-off never grew to its cap";

  test::report(
      {"coordinator down for 10 min (injected)",
       1,
       static_cast<int>(waits.size()),
       static_cast<int>(refused),
       {"results stored before and during the outage: " + std::to_string(count),
        "longest sync wait: " + std::to_string(static_cast<int>(*std::max_element(waits.begin(), waits.end()))) + " s",
        "all delivered " + std::to_string(static_cast<int>(took)) + " s (injected) after it ended",
        ::testing::Test::HasFailure() ? "FOUND: see the failures above" : "found: nothing"}});
}

}  // namespace
}  // namespace corvane
