#include "executor/agent/Agent.h"

#include <gtest/gtest.h>

#include <barrier>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "AgentFixture.h"
#include "executor/support/CVError.h"
#include "support/ErrorOf.h"
#include "support/NotifySocket.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

using test::errorOf;
using test::eventually;
using test::NotifySocket;
using test::TemporaryDirectory;

class AgentTest : public test::AgentFixture {};

// Bodies of task threads that journal their task, as a claim does, and tell
// the test which task ran.
struct Recorder {
  std::mutex mutex;
  std::vector<std::string> ran;

  std::function<void(Agent&, const ExecutorTask&)> journalling() {
    return [this](Agent& agent, const ExecutorTask& task) {
      agent.journal().execute("INSERT INTO tasks(id,lease_id,stage,action) VALUES (?,?,?,?)",
                              {task.id, "lease", "sending", std::string(rawValue(task.action))});
      std::lock_guard guard(mutex);
      ran.push_back(task.id);
    };
  }
  std::vector<std::string> snapshot() {
    std::lock_guard guard(mutex);
    return ran;
  }
};

TEST_F(AgentTest, StartsOffersInPriorityOrderOneCredentialAtATime) {
  // All four offers share a credential, so each tick can start only the first
  // the journal does not know yet: the ticks reveal the order.
  addOffers({offer("A", "connect", "x"), offer("B", "ping", "x"), offer("C", "remove", "x"), offer("D", "read", "x")});
  Recorder recorder;
  AgentHooks hooks = this->hooks();
  hooks.execute = recorder.journalling();
  Agent agent(*client, *journal, hooks, timer);

  for (size_t i = 1; i <= 4; ++i) {
    uint64_t wakes = agent.wakeRequests();
    agent.tick();
    // The released slot of a journalled task wakes the loop.
    ASSERT_TRUE(eventually([&] { return agent.wakeRequests() > wakes; }));
    ASSERT_EQ(recorder.snapshot().size(), i);
  }
  EXPECT_EQ(recorder.snapshot(), (std::vector<std::string>{"C", "D", "B", "A"}));
  agent.tick();
  EXPECT_EQ(recorder.snapshot().size(), 4u);
}

TEST_F(AgentTest, ReservesWithinTheSlotsAndOneTaskPerCredential) {
  addOffers({offer("r1", "read", "a"), offer("r2", "read", "a"), offer("r3", "read", "b"), offer("p4", "ping", "c"),
             offer("c5", "connect", "d")});
  test::Gate gate;
  Recorder recorder;
  AgentHooks hooks = this->hooks();
  hooks.execute = [&](Agent& agent, const ExecutorTask& task) {
    recorder.journalling()(agent, task);
    gate.pass();
  };
  Agent agent(*client, *journal, hooks, timer);
  agent.tick();
  ASSERT_TRUE(eventually([&] { return recorder.snapshot().size() == 3; }));

  // r2 waits for its credential, p4 for a read/ping slot.
  auto started = recorder.snapshot();
  std::set<std::string> ran(started.begin(), started.end());
  EXPECT_EQ(ran, (std::set<std::string>{"r1", "r3", "c5"}));

  agent.tick();
  Json body = lastSyncBody();
  EXPECT_EQ(body["freeReadPingSlots"], 0);
  EXPECT_EQ(body["freeConnectSlots"], 4);
  EXPECT_EQ(body["freeCleanupSlots"], 1);
  EXPECT_EQ(body["activeTaskIds"], Json::array({"c5", "r1", "r3"}));
  EXPECT_EQ(body["canExecute"], true);
  EXPECT_EQ(body["failureCode"], nullptr);
  EXPECT_EQ(body["protocolVersion"], 5);
  EXPECT_EQ(body.size(), 8u);
  gate.open();
}

TEST_F(AgentTest, RevokedStoppedAndFailedAgentsSayWhyInTheSyncBody) {
  test::Gate gate;
  Recorder recorder;
  AgentHooks hooks = this->hooks();
  hooks.execute = [&](Agent& agent, const ExecutorTask& task) {
    recorder.journalling()(agent, task);
    gate.pass();
  };
  Agent agent(*client, *journal, hooks, timer);

  coordinator.control("executor/sync", {{"revoked", true}});
  agent.tick();  // learns of the revocation
  addOffers({offer("read-1", "read", "a"), offer("remove-1", "remove", "b")});
  agent.tick();
  ASSERT_TRUE(eventually([&] { return recorder.snapshot().size() == 1; }));
  EXPECT_EQ(recorder.snapshot(), std::vector<std::string>{"remove-1"});
  agent.tick();
  EXPECT_EQ(lastSyncBody(), (Json{{"protocolVersion", 5},
                                  {"canExecute", false},
                                  {"canClean", true},
                                  {"freeConnectSlots", 0},
                                  {"freeReadPingSlots", 0},
                                  {"freeCleanupSlots", 0},
                                  {"failureCode", "device_revoked"},
                                  {"activeTaskIds", {"remove-1"}}}));
  EXPECT_EQ(healths().back().state, AgentHealthState::revoked);
  gate.open();

  agent.stop();
  agent.tick();
  Json stopped = lastSyncBody();
  EXPECT_EQ(stopped["canExecute"], false);
  EXPECT_EQ(stopped["canClean"], false);
  EXPECT_EQ(stopped["freeCleanupSlots"], 0);
  EXPECT_EQ(stopped["failureCode"], "shutting_down");
}

TEST_F(AgentTest, AStorageFailureSeenByTwoThreadsWakesTheLoopOnce) {
  addOffers({offer("r1", "read", "a"), offer("r2", "read", "b")});
  std::barrier together(2);
  std::atomic<int> finished{0};
  // The task bodies wait until the test has counted the wakes so far, so
  // that every wake they cause is counted after it.
  test::Gate counted;
  AgentHooks hooks = this->hooks();
  hooks.execute = [&](Agent&, const ExecutorTask&) {
    counted.pass();
    together.arrive_and_wait();
    finished++;
    throw CVError::storage();
  };
  Agent agent(*client, *journal, hooks, timer);
  agent.tick();
  uint64_t wakes = agent.wakeRequests();
  counted.open();
  ASSERT_TRUE(eventually([&] {
    auto records = healths();
    return finished == 2 && std::count_if(records.begin(), records.end(), [](const AgentHealth& health) {
                              return health.state == AgentHealthState::storageError;
                            }) == 2;
  }));
  EXPECT_EQ(agent.wakeRequests(), wakes + 1);
  EXPECT_EQ(healths().back().lastErrorCode, AgentHealthError::journalUnavailable);

  // Synchronisation goes on, says why it cannot work, and accepts nothing.
  addOffers({offer("r3", "read", "c")});
  agent.tick();
  EXPECT_EQ(lastSyncBody()["failureCode"], "journal_unavailable");
  EXPECT_EQ(lastSyncBody()["canClean"], false);
  EXPECT_EQ(coordinator.control("executor/tasks", {{"id", "r3"}})["tasks"][0]["offered"], true);
}

TEST_F(AgentTest, AnInvalidAnswerFailsTheTickAndStartsNothing) {
  std::vector<Json> many;
  for (int i = 0; i < 101; ++i) many.push_back(offer("t" + std::to_string(i), "read", "c" + std::to_string(i)));
  Json badOffer = offer("bad", "manual_ping", "z");

  struct Case {
    const char* name;
    Json script;  // for executor/sync
    std::vector<Json> offers;
    CVError error;
  };
  const std::vector<Case> cases = {
      {"101 offers", Json::object(), many, CVError::invalid("Invalid task list")},
      {"no task list", {{"omit", {"tasks"}}}, {offer("ok", "read", "a")}, CVError::invalid("Invalid task list")},
      {"one invalid offer", Json::object(), {offer("ok", "read", "a"), badOffer}, CVError::invalid("Unsupported task")},
      {"no server time", {{"omit", {"serverTime"}}}, {}, CVError::invalid("Missing time")},
      {"server time not a time", {{"answer", {{"serverTime", 5}}}}, {}, CVError::invalid("Missing time")},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.name);
    coordinator.reset();
    auto code = coordinator.createPairingCode({{"token", token}})["code"];
    CoordinatorClient(coordinator.httpOrigin(), std::nullopt, true)
        .post("/v1/executor/pair", {{"code", code}, {"name", "again"}});
    if (!entry.script.empty()) coordinator.control("executor/sync", entry.script);
    addOffers(entry.offers);

    std::atomic<int> started{0};
    AgentHooks hooks = this->hooks();
    hooks.execute = [&](Agent&, const ExecutorTask&) { started++; };
    Agent agent(*client, *journal, hooks, timer);
    auto error = errorOf([&] { agent.tick(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), entry.error.message());
    EXPECT_EQ(started, 0);
    EXPECT_EQ(healths().back().state, AgentHealthState::offline);
    EXPECT_EQ(healths().back().lastErrorCode, AgentHealthError::coordinatorUnavailable);
  }
}

Json plan(const std::string& account, const std::string& credential, int version) {
  return Json{{"accountId", account},
              {"credentialId", credential},
              {"bindingVersion", version},
              {"intervalSeconds", 60},
              {"validUntil", "2099-01-01T00:00:00Z"}};
}

TEST_F(AgentTest, SamplingPlansReplaceEachOtherAndKeepCursorsOnlyForTheSameBinding) {
  Agent agent(*client, *journal, hooks(), timer);
  Json eleven = Json::array();
  for (int i = 0; i < 11; ++i) eleven.push_back(plan("a" + std::to_string(i), "c", 1));
  coordinator.control("executor/sync", {{"samplingPlans", eleven}});
  auto error = errorOf([&] { agent.tick(); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message(), "Too many sampling plans");
  // Nothing of the failed answer was applied, the clock included.
  EXPECT_EQ(errorOf([&] { agent.remaining(WallTime{}); }), CVError::invalid("Missing server time"));

  eleven.erase(eleven.begin());
  coordinator.control("executor/sync", {{"samplingPlans", eleven}});
  agent.tick();
  EXPECT_EQ(agent.samplingPlans().size(), 10u);

  coordinator.control(
      "executor/sync",
      {{"samplingPlans",
        {plan("keep", "c1", 1), plan("rebind", "c2", 1), plan("recred", "c3", 1), plan("drop", "c4", 1)}}});
  agent.tick();
  QuotaSamplingCursor worked;
  worked.retryAt = 7;
  for (const char* account : {"keep", "rebind", "recred", "drop"}) agent.setSamplingCursor(account, worked);
  coordinator.control(
      "executor/sync",
      {{"samplingPlans",
        {plan("keep", "c1", 1), plan("rebind", "c2", 2), plan("recred", "c9", 1), plan("recred", "c9", 1)}}});
  agent.tick();
  auto cursors = agent.samplingCursors();
  EXPECT_EQ(cursors.size(), 1u);
  EXPECT_TRUE(cursors.contains("keep"));
  EXPECT_EQ(agent.samplingPlans().size(), 3u);

  // Anything but an array of objects counts as no plans at all.
  coordinator.control("executor/sync", {{"samplingPlans", {plan("keep", "c1", 1), 5}}});
  agent.tick();
  EXPECT_TRUE(agent.samplingPlans().empty());
  EXPECT_TRUE(agent.samplingCursors().empty());
}

TEST_F(AgentTest, RemainingTimeRunsOnTheMonotonicClockFromTheServerTime) {
  Agent agent(*client, *journal, hooks(), timer);
  EXPECT_EQ(errorOf([&] { agent.remaining(WallTime{}); }), CVError::invalid("Missing server time"));
  coordinator.control("executor/sync", {{"serverTimeOffsetSeconds", 3600}});
  agent.tick();
  Json answer = client->post("/v1/executor/sync", Json::object());
  WallTime serverTime = parseTime(member(answer, "serverTime"));
  double before = agent.remaining(serverTime + std::chrono::seconds(100));
  // The coordinator's clock runs an hour ahead of ours; the estimate follows it.
  EXPECT_GT(before, 90);
  EXPECT_LE(before, 101);
  // Wall-clock jumps do not matter; the monotonic clock does.
  timer.manual().setWallTime(WallTime{});
  timer.manual().advance(std::chrono::seconds(10));
  EXPECT_DOUBLE_EQ(agent.remaining(serverTime + std::chrono::seconds(100)), before - 10);
}

TEST_F(AgentTest, DeliveryBacksOffPerTaskAndNeverLetsOneHoldBackTheOthers) {
  addOffers({offer("stuck", "read", "a"), offer("gone", "read", "b"), offer("fine", "read", "c"),
             offer("cleanup", "remove", "d")});
  claimAndFinish("stuck", "read", {{"result", "succeeded"}});
  claimAndFinish("gone", "read", {{"result", "failed"}, {"errorCode", "x"}});
  claimAndFinish("fine", "read", {{"result", "succeeded"}});
  claimAndFinish("cleanup", "remove", {{"result", "succeeded"}});
  coordinator.addFault({{"path", "/v1/executor/tasks/stuck/complete"}, {"status", 500}, {"times", 0}});
  coordinator.addFault({{"path", "/v1/executor/tasks/gone/complete"}, {"status", 410}});

  Agent agent(*client, *journal, hooks(), timer);
  agent.deliver();
  auto completes = [&] {
    std::vector<std::string> paths;
    for (const auto& request : coordinator.requests())
      if (request["path"].get<std::string>().ends_with("/complete")) paths.push_back(request["path"]);
    return paths;
  };
  EXPECT_EQ(completes(),
            (std::vector<std::string>{"/v1/executor/tasks/cleanup/complete", "/v1/executor/tasks/stuck/complete",
                                      "/v1/executor/tasks/gone/complete", "/v1/executor/tasks/fine/complete"}));
  auto pending = journal->pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].first, "stuck");
  // The coordinator received the stored result with its lease.
  Json received = coordinator.control("executor/tasks", {{"id", "fine"}})["tasks"][0];
  EXPECT_EQ(received["completions"], Json::array({{{"result", "succeeded"}, {"leaseId", received["leaseId"]}}}));

  auto attempts = [&] { return coordinator.requests("/v1/executor/tasks/stuck/complete").size(); };
  for (double wait : {5.0, 10.0, 20.0}) {
    size_t before = attempts();
    timer.manual().advance(std::chrono::microseconds(static_cast<int64_t>((wait - 0.01) * 1e6)));
    agent.deliver();
    EXPECT_EQ(attempts(), before) << "retried before " << wait << " s";
    timer.manual().advance(std::chrono::milliseconds(10));
    agent.deliver();
    EXPECT_EQ(attempts(), before + 1) << "not retried after " << wait << " s";
  }
}

// A finished task's result goes out as soon as it is stored, not at the
// delivery loop's next beat: here only a nudge or a stop ends a worker's pause.
TEST_F(AgentTest, AStoredResultIsDeliveredWithoutWaitingForTheNextBeat) {
  timer.setSyncCap(600);
  timer.setWorkerCap(600);
  addOffers({offer("quick", "read", "a")});
  AgentHooks hooks = this->hooks();
  hooks.execute = [&](Agent&, const ExecutorTask& task) { claimAndFinish(task.id, "read", {{"result", "succeeded"}}); };
  Agent agent(*client, *journal, hooks, timer);
  std::thread loop([&] { agent.run(); });
  bool delivered = eventually([&] { return !coordinator.requests("/v1/executor/tasks/quick/complete").empty(); });
  agent.stop();
  loop.join();
  EXPECT_TRUE(delivered);
  EXPECT_TRUE(journal->pending().empty());
}

// A result the coordinator already holds (the executor died after sending it
// but before marking it delivered) is answered 409 from then on; it must
// leave the queue instead of being retried for ever, which would also keep
// a revoked device from ever being ready for re-pairing.
TEST_F(AgentTest, AResultTheCoordinatorAlreadyHoldsLeavesTheQueue) {
  addOffers({offer("sent-before", "read", "a")});
  claimAndFinish("sent-before", "read", {{"result", "succeeded"}});
  auto pending = journal->pending();
  ASSERT_EQ(pending.size(), 1u);
  client->post("/v1/executor/tasks/sent-before/complete", pending[0].second);

  Agent agent(*client, *journal, hooks(), timer);
  agent.deliver();
  EXPECT_TRUE(journal->pending().empty());
  Json record = coordinator.control("executor/tasks", {{"id", "sent-before"}})["tasks"][0];
  EXPECT_EQ(record["completions"].size(), 1u);
  EXPECT_EQ(record["refusals"][0]["error"], "already_completed");
}

TEST_F(AgentTest, SyncFailuresBackOffExponentiallyWithinTheJitter) {
  coordinator.addFault({{"path", "/v1/executor/sync"}, {"status", 503}, {"times", 0}});
  for (double jitter : {0.8, 1.2}) {
    SCOPED_TRACE(jitter);
    test::TestTimer local;
    local.setJitter(jitter);
    Agent agent(*client, *journal, hooks(), local);
    std::thread loop([&] { agent.run(); });
    auto delays = local.awaitSyncDelays(9);
    agent.stop();
    loop.join();
    ASSERT_GE(delays.size(), 9u);
    std::vector<double> expected;
    for (int failures = 1; failures <= 9; ++failures)
      expected.push_back(std::min(5 * std::pow(2.0, std::min(failures, 7) - 1) * jitter, 300.0));
    delays.resize(9);
    for (size_t i = 0; i < 9; ++i) EXPECT_DOUBLE_EQ(delays[i], expected[i]) << "after failure " << i + 1;
    EXPECT_EQ(healths().back().state, AgentHealthState::stopped);
  }
}

// The service manager's watchdog: a loop that waits, however long its
// back-off, is alive; a synchronisation that hangs is not.
TEST_F(AgentTest, TheWatchdogHearsFromAWaitingLoopButNotFromAHungOne) {
  TemporaryDirectory sockets;
  NotifySocket manager((sockets / "notify").string());
  platform::ServiceNotifier notifier((sockets / "notify").string());
  // A short caller wait, so that the hung request below gives up soon.
  CoordinatorClient quick(coordinator.httpOrigin(), token, true, std::nullopt, platform::systemClock(),
                          std::chrono::milliseconds(3000));
  coordinator.addFault({{"path", "/v1/executor/sync"}, {"status", 503}, {"times", 0}});
  Agent agent(quick, *journal, hooks(), timer, {.wakeTiming = {}, .notifier = &notifier});
  std::thread loop([&] { agent.run(); });

  EXPECT_EQ(manager.receive(), "READY=1");
  auto delays = timer.awaitSyncDelays(8);
  ASSERT_GE(delays.size(), 8u);
  EXPECT_DOUBLE_EQ(delays.back(), 300) << "the longest back-off";
  timer.setSyncCap(600);  // from now on only a wake ends a wait
  timer.awaitSyncDelays(delays.size() + 1);
  for (int step = 0; step < 30; ++step) {  // the whole 300 s back-off
    timer.manual().advance(std::chrono::seconds(10));
    manager.drain();
    EXPECT_EQ(manager.receive(), "WATCHDOG=1") << "after " << (step + 1) * 10 << " s of back-off";
  }

  coordinator.reset();  // the faults go; a request logged from now on is the held one
  coordinator.addFault({{"path", "/v1/executor/sync"}, {"hold", true}, {"times", 0}});
  agent.requestWake();
  ASSERT_TRUE(eventually([&] { return !coordinator.requests("/v1/executor/sync").empty(); }))
      << "the loop is in a synchronisation";
  timer.manual().advance(std::chrono::seconds(21));
  manager.drain();
  EXPECT_EQ(manager.receive(0.5), "") << "a synchronisation hung for 21 s is no sign of life";

  agent.stop();
  bool stopping = false;
  for (std::string message; !stopping && !(message = manager.receive()).empty();) stopping = message == "STOPPING=1";
  loop.join();
  EXPECT_TRUE(stopping);
}

TEST_F(AgentTest, StopWhileWaitingEndsTheWaitAtOnce) {
  timer.setSyncCap(600);  // only a wake ends a sync wait
  Agent agent(*client, *journal, hooks(), timer);
  std::thread loop([&] { agent.run(); });
  timer.awaitSyncDelays(1);
  agent.stop();
  loop.join();
  auto records = healths();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().state, AgentHealthState::stopped);
  EXPECT_EQ(records.back().lastErrorCode, std::nullopt);
}

TEST_F(AgentTest, ALocalSignOutTellsTheCoordinatorAndStopsTakingWork) {
  addOffers({offer("r1", "read", "a"), offer("rm", "remove", "b")});
  std::atomic<bool> signingOut{true};
  Recorder recorder;
  AgentHooks hooks = this->hooks();
  hooks.signingOut = [&] { return signingOut.load(); };
  hooks.execute = recorder.journalling();
  Agent agent(*client, *journal, hooks, timer);
  agent.tick();
  EXPECT_EQ(coordinator.control("executor/counts")["signOuts"], 1);
  Json body = lastSyncBody();
  EXPECT_EQ(body["canExecute"], false);
  EXPECT_EQ(body["failureCode"], "device_revoked");  // signing out counts as revoked from the start
  ASSERT_TRUE(eventually([&] { return recorder.snapshot().size() == 1; }));
  EXPECT_EQ(recorder.snapshot(), std::vector<std::string>{"rm"});
}

TEST_F(AgentTest, HealthIsReadyForRePairingOnlyWhenEverythingIsSettled) {
  std::optional<std::string> preparation;
  AgentHooks hooks = this->hooks();
  hooks.updatePreparation = [&] { return preparation; };
  Agent agent(*client, *journal, hooks, timer);

  coordinator.control("executor/sync", {{"revoked", true}, {"cleanupPending", true}});
  agent.tick();
  EXPECT_FALSE(healths().back().rePairReady);
  coordinator.control("executor/sync", {{"cleanupPending", false}});
  addOffers({offer("rm", "remove", "a")});
  claimAndFinish("rm", "remove", {{"result", "succeeded"}});
  agent.tick();
  EXPECT_FALSE(healths().back().rePairReady);  // a result still waits for delivery
  agent.deliver();
  agent.tick();
  EXPECT_TRUE(healths().back().rePairReady);
  EXPECT_TRUE(healths().back().deviceRevoked);
  ASSERT_TRUE(healths().back().lastHeartbeatAt);

  preparation = "update-1";
  agent.tick();
  EXPECT_EQ(healths().back().updatePreparationID, "update-1");
  EXPECT_TRUE(healths().back().updateReady);
  EXPECT_EQ(lastSyncBody()["failureCode"], "shutting_down");
}

}  // namespace
}  // namespace corvane
