#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AgentFixture.h"
#include "executor/coordinator/CoordinatorClient.h"

namespace corvane {
namespace {

using test::eventually;

// Short keep-alive times so that a silent coordinator is noticed in well
// under a second.
constexpr WakeTiming quick{.pingInterval = 0.1, .deadAfter = 0.6, .poll = 0.05};

class WakeChannelTest : public test::AgentFixture {
 protected:
  // Runs listenForWakes on a thread of its own and records what it reports.
  struct Listener {
    std::atomic<bool> active{true};
    std::atomic<int> wakes{0};
    std::mutex mutex;
    std::vector<bool> changes;
    std::atomic<bool> done{false};
    bool result = false;
    std::thread thread;

    void start(const CoordinatorClient& client, WakeTiming timing = quick) {
      thread = std::thread([this, &client, timing] {
        result = client.listenForWakes([this] { return active.load(); }, [this] { wakes++; },
                                       [this](bool connected) {
                                         std::lock_guard guard(mutex);
                                         changes.push_back(connected);
                                       },
                                       timing);
        done = true;
      });
    }
    std::vector<bool> reported() {
      std::lock_guard guard(mutex);
      return changes;
    }
    ~Listener() {
      active = false;
      if (thread.joinable()) thread.join();
    }
  };

  Json wakeStatus() { return coordinator.control("wake/status"); }
};

TEST_F(WakeChannelTest, AWakeMessageCallsOnWakeAndLeavingClosesWithGoingAway) {
  Listener listener;
  listener.start(*client);
  ASSERT_TRUE(eventually([&] { return listener.reported() == std::vector<bool>{true}; }));
  EXPECT_EQ(wakeStatus()["open"], 1);

  EXPECT_EQ(coordinator.control("wake")["sent"], 1);
  ASSERT_TRUE(eventually([&] { return listener.wakes == 1; }));
  // New offers wake the executor too.
  coordinator.control("executor/offers", {{"offer", offer("t1", "read", "a")}});
  ASSERT_TRUE(eventually([&] { return listener.wakes == 2; }));

  listener.active = false;
  listener.thread.join();
  EXPECT_TRUE(listener.result);
  // Later pongs never reported a second connection.
  EXPECT_EQ(listener.reported(), (std::vector<bool>{true, false}));
  ASSERT_TRUE(eventually([&] { return wakeStatus()["closeCodes"] == Json::array({1001}); }));

  auto upgrade = coordinator.requests("/v1/executor/wake");
  ASSERT_EQ(upgrade.size(), 1u);
  EXPECT_EQ(upgrade[0]["headers"]["authorization"], "Bearer " + token);
  EXPECT_EQ(upgrade[0]["status"], 101);
}

TEST_F(WakeChannelTest, ACoordinatorThatNeverAnswersPingsEndsTheCallUnconnected) {
  coordinator.control("wake/settings", {{"answerPings", false}});
  Listener listener;
  listener.start(*client);
  listener.thread.join();
  EXPECT_FALSE(listener.result);
  EXPECT_EQ(listener.reported(), std::vector<bool>{false});
}

TEST_F(WakeChannelTest, RefusedOrUnreachableChannelsReturnFalseWithoutThrowing) {
  CoordinatorClient stranger(coordinator.httpOrigin(), std::string(40, 'x'), true);
  Listener refused;
  refused.start(stranger);
  refused.thread.join();
  EXPECT_FALSE(refused.result);
  EXPECT_EQ(refused.reported(), std::vector<bool>{false});
  EXPECT_EQ(coordinator.requests("/v1/executor/wake").back()["status"], 401);

  CoordinatorClient tokenless(coordinator.httpOrigin(), std::nullopt, true);
  EXPECT_FALSE(tokenless.listenForWakes([] { return true; }, [] {}, [](bool) {}, quick));

  // https without trusting the coordinator's authority: the handshake fails.
  CoordinatorClient untrusted(coordinator.httpsOrigin(), token, false);
  Listener unverified;
  unverified.start(untrusted);
  unverified.thread.join();
  EXPECT_FALSE(unverified.result);
}

TEST_F(WakeChannelTest, WssVerifiesTheCoordinatorsCertificate) {
  CoordinatorClient secure("https://localhost:" + std::to_string(coordinator.httpsPort()), token, false,
                           CoordinatorTestingConfiguration{coordinator.caFile()});
  Listener listener;
  listener.start(secure);
  ASSERT_TRUE(eventually([&] { return listener.reported() == std::vector<bool>{true}; }));
  coordinator.control("wake");
  ASSERT_TRUE(eventually([&] { return listener.wakes == 1; }));
  EXPECT_EQ(coordinator.requests("/v1/executor/wake").back()["scheme"], "https");
}

TEST_F(WakeChannelTest, AWakeBringsTheNextSyncAndASilentChannelFallsBackToFiveSeconds) {
  timer.setSyncCap(600);  // only a wake ends a sync wait
  Agent agent(*client, *journal, hooks(), timer, {.wakeTiming = quick});
  std::thread loop([&] { agent.run(); });
  auto syncs = [&] { return coordinator.control("executor/counts")["syncs"].get<int>(); };

  // Connected: the loop waits the long interval.
  ASSERT_TRUE(eventually([&] {
    auto delays = timer.syncDelays();
    return !delays.empty() && delays.back() == 30;
  }));
  int before = syncs();
  coordinator.control("wake");
  ASSERT_TRUE(eventually([&] { return syncs() == before + 1; }));

  // The coordinator stops answering pings: the channel is given up, the
  // change wakes the loop, and it falls back to the short interval.
  coordinator.control("wake/settings", {{"answerPings", false}});
  ASSERT_TRUE(eventually([&] {
    auto delays = timer.syncDelays();
    return delays.back() == 5;
  }));

  agent.stop();
  loop.join();
  EXPECT_EQ(healths().back().state, AgentHealthState::stopped);
}

}  // namespace
}  // namespace corvane
