// Claimed tasks end to end against the development coordinator: the claim
// and its checks, the journal row and its stage, the send protocol of pings
// and the one stored result of every path. The Codex side is a small double
// where its behaviour is beside the point, and the fake runtime through the
// real adapter where it is not.

#include "executor/agent/TaskExecution.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "AgentFixture.h"
#include "executor/codex/CodexAdapter.h"
#include "executor/support/CVError.h"
#include "support/ErrorOf.h"

namespace corvane::test {
namespace {

namespace fs = std::filesystem;

// Account operations that answer at once and count what they were asked.
class CodexDouble final : public CodexOperations {
 public:
  struct State {
    std::mutex mutex;
    int reads = 0;
    int pings = 0;
    int removes = 0;
    std::optional<CVError> readError;
    bool readThrowsForeign = false;
    std::vector<std::string> labels;  // the task ids of the copies made
  };

  std::unique_ptr<CodexOperations> forTask(const CodexTaskLabel& task) const override {
    std::lock_guard guard(state->mutex);
    state->labels.push_back(task.taskId + ":" + task.action);
    return std::make_unique<CodexDouble>(*this);
  }
  Connection connect(const std::string&, double, const Progress& progress) override {
    progress("https://auth.openai.com/codex/device", "ABCD-EFGH");
    return Connection{Json{{"planType", "plus"}}, "2026-01-01T00:00:00Z", "2026-01-01T00:00:01Z"};
  }
  Json readAccount(const std::string&, double) override {
    std::lock_guard guard(state->mutex);
    ++state->reads;
    if (state->readError) throw *state->readError;
    if (state->readThrowsForeign) throw std::runtime_error("not ours");
    return Json{{"planType", "pro"}};
  }
  Json remove(const std::string&, double) override {
    std::lock_guard guard(state->mutex);
    ++state->removes;
    return Json{{"credentialsAbsent", true}};
  }
  Json ping(const std::string&, double) override {
    std::lock_guard guard(state->mutex);
    ++state->pings;
    return Json{{"result", "succeeded"}};
  }

  std::shared_ptr<State> state = std::make_shared<State>();
};

class TaskExecutionTest : public AgentFixture {
 protected:
  // An agent on the system clock (the operations' deadlines are readings of
  // it) that has synchronised once, so it knows the coordinator's time.
  void startAgent(CodexOperations& operations, AgentHooks extra = {}) {
    execution = std::make_unique<TaskExecution>(operations, nullptr,
                                                [this](const std::string& account, const std::string& reason,
                                                       const std::optional<Json>& report, std::optional<int>) {
                                                  std::lock_guard guard(diagnosticsMutex);
                                                  quotaReasons.push_back(account + ":" + reason);
                                                  if (report) quotaReports.push_back(*report);
                                                });
    AgentHooks all = hooks();
    all.signingOut = extra.signingOut;
    all.onLogin = extra.onLogin;
    agent = std::make_unique<Agent>(*client, *journal, all, systemAgentTimer());
    agent->tick();
  }

  static Json automaticOffer(const std::string& id, const std::string& credential) {
    Json offer = AgentFixture::offer(id, "ping", credential);
    offer["payload"] = {{"triggers", {"window_reset"}}};
    return offer;
  }

  // Queues queued on the coordinator, runs the task as the executor saw it
  // offered (seen, by default the same) and returns its stored result.
  Json run(const Json& queued, const std::optional<Json>& seen = std::nullopt) {
    addOffers({queued});
    execution->execute(*agent, ExecutorTask(seen.value_or(queued)));
    return stored(queued["id"]);
  }

  // The stored, undelivered result of the task without its lease; null when
  // there is none.
  Json stored(const std::string& id) {
    for (auto& [task, result] : journal->pending()) {
      if (task != id) continue;
      Json copy = result;
      copy.erase("leaseId");
      return copy;
    }
    return Json();
  }

  // The task's journal row: {"stage", "action"}; null when there is none.
  Json row(const std::string& id) {
    sqlite3* db = nullptr;
    Json found;
    if (sqlite3_open_v2((directory / "agent.sqlite3").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_stmt* statement = nullptr;
      sqlite3_prepare_v2(db, "SELECT stage,action FROM tasks WHERE id=?", -1, &statement, nullptr);
      sqlite3_bind_text(statement, 1, id.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(statement) == SQLITE_ROW)
        found = {{"stage", reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))},
                 {"action", reinterpret_cast<const char*>(sqlite3_column_text(statement, 1))}};
      sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return found;
  }

  // What the coordinator recorded of the task.
  Json record(const std::string& id) { return coordinator.control("executor/tasks", {{"id", id}})["tasks"][0]; }

  std::vector<std::string> reasons() {
    std::lock_guard guard(diagnosticsMutex);
    return quotaReasons;
  }

  std::unique_ptr<TaskExecution> execution;
  std::unique_ptr<Agent> agent;
  CodexDouble codex;
  std::mutex diagnosticsMutex;
  std::vector<std::string> quotaReasons;
  std::vector<Json> quotaReports;
};

Json outcome(const std::string& result, const std::string& code) {
  return Json{{"result", result}, {"errorCode", code}};
}

TEST_F(TaskExecutionTest, ReadStoresTheAccountWithItsTimesAndJournalsTheClaimAsSending) {
  startAgent(codex);
  Json result = run(offer("read-1", "read", "c1"));
  EXPECT_EQ(result["result"], "succeeded");
  EXPECT_EQ(result["data"], (Json{{"planType", "pro"}}));
  EXPECT_NO_THROW(parseTime(&result["readStartedAt"]));
  EXPECT_NO_THROW(parseTime(&result["readCompletedAt"]));
  EXPECT_EQ(row("read-1"), (Json{{"stage", "sending"}, {"action", "read"}}));
  EXPECT_EQ(reasons(), (std::vector<std::string>{"account-c1:task_sample", "account-c1:task_succeeded"}));
  // The report carries the task; the stored result does not.
  EXPECT_EQ(quotaReports.back()["taskId"], "read-1");
  EXPECT_FALSE(result.contains("taskId"));
  EXPECT_EQ(codex.state->labels, std::vector<std::string>{"read-1:read"});
}

// The send protocol of pings: every answer of the coordinator and what it
// leaves in the journal and at the runtime.
TEST_F(TaskExecutionTest, PingsSendOnlyWithPermissionAndAConfirmedStart) {
  struct Case {
    std::string name;
    bool automatic;
    Json authorize;  // the authorize-send answer
    Json sendStart;  // the send-start answer
    std::optional<int> sendStartStatus;
    Json expected;
    bool sendStartAsked;
  };
  const Json allowed = {{"allowed", true}};
  const Json ok = {{"ok", true}};
  const std::vector<Case> cases = {
      {"auto_not_full",
       true,
       {{"allowed", false}, {"errorCode", "quota_not_full"}},
       ok,
       {},
       outcome("skipped", "quota_not_full"),
       false},
      {"auto_refused_without_code", true, {{"allowed", false}}, ok, {}, outcome("skipped", "quota_unavailable"), false},
      {"auto_allowed_as_text", true, {{"allowed", "true"}}, ok, {}, outcome("skipped", "quota_unavailable"), false},
      {"auto_permit_already_expired",
       true,
       {{"allowed", true}, {"permitExpiresAt", "2001-01-01T00:00:00Z"}},
       ok,
       {},
       outcome("skipped", "quota_unavailable"),
       false},
      {"auto_allowed", true, allowed, ok, {}, Json{{"result", "succeeded"}}, true},
      {"auto_send_start_409", true, allowed, ok, 409, outcome("skipped", "send_not_permitted"), true},
      {"auto_send_start_500", true, allowed, ok, 500, outcome("skipped", "send_start_unconfirmed"), true},
      {"auto_send_start_not_ok",
       true,
       allowed,
       {{"ok", false}},
       {},
       outcome("skipped", "send_start_unconfirmed"),
       true},
      {"manual_sent", false, allowed, ok, {}, Json{{"result", "succeeded"}}, true},
      {"manual_send_start_409", false, allowed, ok, 409, outcome("failed", "send_not_permitted"), true},
      {"manual_send_start_500", false, allowed, ok, 500, outcome("unknown", "send_start_unconfirmed"), true},
      {"manual_send_start_without_ok",
       false,
       allowed,
       Json::object(),
       {},
       outcome("unknown", "send_start_unconfirmed"),
       true},
  };
  startAgent(codex);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    coordinator.control("executor/answers", {{"authorizeSend", c.authorize}, {"sendStart", c.sendStart}});
    if (c.sendStartStatus)
      coordinator.addFault({{"path", "/v1/executor/tasks/" + c.name + "/send-start"}, {"status", *c.sendStartStatus}});
    int pingsBefore = codex.state->pings;
    Json queued = c.automatic ? automaticOffer(c.name, c.name) : offer(c.name, "ping", c.name);

    EXPECT_EQ(run(queued), c.expected);
    bool pinged = c.expected["result"] == "succeeded";
    EXPECT_EQ(codex.state->pings - pingsBefore, pinged ? 1 : 0);
    Json task = record(c.name);
    EXPECT_EQ(task["authorizeSend"].size(), c.automatic ? 1u : 0u);
    // The row moves to sending exactly when the start is announced.
    EXPECT_EQ(row(c.name)["stage"], c.sendStartAsked ? "sending" : "preflight");
    EXPECT_EQ(row(c.name)["action"], c.automatic ? "ping" : "manual_ping");
    if (c.sendStartAsked && !c.sendStartStatus) {
      EXPECT_EQ(task["sendStarts"].size(), 1u);
    }
  }
}

TEST_F(TaskExecutionTest, APreflightReadThatFailsSkipsTheAutomaticPing) {
  codex.state->readError = CVError::runtime("codex_account_read_timeout");
  startAgent(codex);
  EXPECT_EQ(run(automaticOffer("auto-1", "c1")), outcome("skipped", "quota_unavailable"));
  EXPECT_EQ(record("auto-1")["authorizeSend"].size(), 0u);
  EXPECT_EQ(row("auto-1")["stage"], "preflight");
}

TEST_F(TaskExecutionTest, ErrorsAfterTheClaimMapToOneCode) {
  struct Case {
    std::string name;
    std::optional<CVError> error;  // none: an error that is not ours
    std::string code;
  };
  const std::vector<Case> cases = {
      {"runtime", CVError::runtime("codex_account_read_timeout"), "codex_account_read_timeout"},
      {"odd_runtime_text", CVError::runtime("Not A Code"), "Not A Code"},
      {"invalid", CVError::invalid("whatever"), "invalid_response"},
      {"network", CVError::network(503), "coordinator_unavailable"},
      {"timeout", CVError::timeout(), "runtime_timeout"},
      {"foreign", std::nullopt, "executor_error"},
  };
  startAgent(codex);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    codex.state->readError = c.error;
    codex.state->readThrowsForeign = !c.error;
    // Stored unchanged, whatever the log makes of it.
    EXPECT_EQ(run(offer(c.name, "read", c.name)), outcome("failed", c.code));
  }
}

TEST_F(TaskExecutionTest, AStorageFailureAfterTheClaimStillStoresAResultAndIsThrown) {
  codex.state->readError = CVError::storage();
  startAgent(codex);
  addOffers({offer("read-1", "read", "c1")});
  EXPECT_EQ(errorOf([&] { execution->execute(*agent, ExecutorTask(offer("read-1", "read", "c1"))); }),
            CVError::storage());
  EXPECT_EQ(stored("read-1"), outcome("failed", "lease_expired"));
  ASSERT_FALSE(healths().empty());
  EXPECT_EQ(healths().back().state, AgentHealthState::storageError);
}

TEST_F(TaskExecutionTest, OnlyAClaimThatMatchesTheOfferIsJournalled) {
  startAgent(codex);
  Json manual = offer("m1", "ping", "c1");

  Json otherBinding = offer("b1", "read", "c2");
  otherBinding["bindingVersion"] = 2;
  EXPECT_EQ(errorOf([&] { run(offer("b1", "read", "c2"), otherBinding); }),
            CVError::invalid("Claimed task does not match"));
  EXPECT_TRUE(row("b1").is_null());

  // Offered automatic, claimed manual: the permit check would be skipped.
  EXPECT_EQ(errorOf([&] { run(offer("a1", "ping", "c3"), automaticOffer("a1", "c3")); }),
            CVError::invalid("Claimed task does not match"));
  EXPECT_TRUE(row("a1").is_null());

  // Offered manual, claimed automatic: runs as automatic.
  coordinator.control("executor/answers", {{"authorizeSend", {{"allowed", false}}}});
  EXPECT_EQ(run(automaticOffer("m1", "c1"), manual), outcome("skipped", "quota_unavailable"));
  EXPECT_EQ(row("m1")["action"], "ping");

  Json claimAnswer = {{"task", offer("l1", "read", "c4")},
                      {"leaseId", std::string(257, 'x')},
                      {"leaseExpiresAt", "2099-01-01T00:00:00Z"}};
  coordinator.addFault({{"path", "/v1/executor/tasks/l1/claim"}, {"body", claimAnswer}});
  EXPECT_EQ(errorOf([&] { run(offer("l1", "read", "c4")); }), CVError::invalid("Invalid lease"));
  EXPECT_TRUE(row("l1").is_null());
}

TEST_F(TaskExecutionTest, DuplicatesExpiredOffersAndOffersWhileRevokedAreNotClaimed) {
  startAgent(codex);
  addOffers({offer("known", "read", "c1")});
  claimAndFinish("known", "read", Json{{"result", "succeeded"}});
  addOffers({offer("known", "read", "c1")});
  execution->execute(*agent, ExecutorTask(offer("known", "read", "c1")));

  Json expired = offer("expired", "read", "c2");
  expired["expiresAt"] = "2001-01-01T00:00:00Z";
  run(expired);

  coordinator.control("executor/sync", {{"revoked", true}});
  agent->tick();
  run(offer("while-revoked", "read", "c3"));
  // The second offer of "known" is still waiting: only the first was claimed.
  EXPECT_TRUE(record("known")["offered"]);
  EXPECT_EQ(record("expired")["claims"], 0);
  EXPECT_EQ(record("while-revoked")["claims"], 0);
  EXPECT_TRUE(row("expired").is_null());
  EXPECT_TRUE(row("while-revoked").is_null());

  // A removal is what a revoked device still does; nothing of the account
  // stays to be reported.
  journal->saveQuotaReport("account-c4", Json{{"accountId", "account-c4"}});
  Json removed = run(offer("remove-1", "remove", "c4"));
  EXPECT_EQ(removed["result"], "succeeded");
  EXPECT_EQ(removed["cleanupReceipt"]["credentialsAbsent"], true);
  EXPECT_NO_THROW(parseTime(&removed["cleanupReceipt"]["verifiedAt"]));
  EXPECT_EQ(journal->quotaReport("account-c4"), std::nullopt);
  EXPECT_EQ(reasons(), std::vector<std::string>{}) << "a removal records no quota diagnostics";
}

TEST_F(TaskExecutionTest, ALeaseAboutToExpireOrASignOutAfterTheClaimStoresAResultWithoutWork) {
  bool signOut = false;
  AgentHooks extra;
  extra.signingOut = [&] { return signOut && journal->contains("signing-out"); };
  startAgent(codex, extra);

  coordinator.control("executor/answers", {{"leaseSeconds", 5}});
  EXPECT_EQ(run(offer("short-lease", "ping", "c1")), outcome("failed", "lease_expired"));
  coordinator.control("executor/answers", {{"leaseSeconds", 300}});

  signOut = true;
  EXPECT_EQ(run(offer("signing-out", "ping", "c2")), outcome("failed", "device_revoked"));
  EXPECT_EQ(codex.state->pings, 0);
  EXPECT_EQ(codex.state->reads, 0);
}

TEST_F(TaskExecutionTest, AConnectPublishesItsSignInAndClearsIt) {
  std::vector<std::pair<std::string, Json>> logins;
  AgentHooks extra;
  extra.onLogin = [&](const std::string& id, const std::optional<Json>& payload) {
    logins.emplace_back(id, payload.value_or(Json()));
  };
  startAgent(codex, extra);
  Json result = run(offer("connect-1", "connect", "c1"));
  EXPECT_EQ(result, (Json{{"result", "succeeded"},
                          {"data", {{"planType", "plus"}}},
                          {"readStartedAt", "2026-01-01T00:00:00Z"},
                          {"readCompletedAt", "2026-01-01T00:00:01Z"}}));
  ASSERT_EQ(logins.size(), 2u);
  EXPECT_EQ(logins[0].first, "connect-1");
  EXPECT_EQ(logins[0].second["userCode"], "ABCD-EFGH");
  EXPECT_EQ(logins[0].second["verificationUrl"], "https://auth.openai.com/codex/device");
  EXPECT_EQ(logins[0].second["id"], "connect-1");
  EXPECT_NO_THROW(parseTime(&logins[0].second["expiresAt"]));
  EXPECT_TRUE(logins[1].second.is_null());
  Json progress = record("connect-1")["progress"];
  ASSERT_EQ(progress.size(), 1u);
  EXPECT_EQ(progress[0]["login"],
            (Json{{"verificationUrl", "https://auth.openai.com/codex/device"}, {"userCode", "ABCD-EFGH"}}));
}

TEST_F(TaskExecutionTest, APingRestartsTheAccountsSampling) {
  startAgent(codex);
  double before = platform::continuousSeconds();
  run(offer("ping-1", "ping", "c1"));
  double after = platform::continuousSeconds();
  auto cursors = agent->samplingCursors();
  ASSERT_TRUE(cursors.contains("account-c1"));
  const QuotaSamplingCursor& cursor = cursors["account-c1"];
  EXPECT_EQ(cursor.lastAttempt, -std::numeric_limits<double>::infinity());
  EXPECT_GE(cursor.confirmationUntil, before + 120);
  EXPECT_LE(cursor.confirmationUntil, after + 120);
}

TEST(TaskExecutionLogTest, OnlyPlainCodesReachTheLog) {
  for (auto [code, logged] :
       std::vector<std::pair<std::string, std::string>>{{"codex_account_read_timeout", "codex_account_read_timeout"},
                                                        {"a", "a"},
                                                        {std::string(80, 'x'), std::string(80, 'x')},
                                                        {std::string(81, 'x'), "executor_error"},
                                                        {"", "executor_error"},
                                                        {"Not A Code", "executor_error"},
                                                        {"code\nforged line", "executor_error"}})
    EXPECT_EQ(TaskExecution::loggedCode(code), logged) << code;
}

// The fake runtime through the real adapter.
class TaskExecutionRuntimeTest : public TaskExecutionTest {
 protected:
  TaskExecutionRuntimeTest() { guard = open("/dev/null", O_RDONLY | O_CLOEXEC); }
  ~TaskExecutionRuntimeTest() override { close(guard); }

  CodexAdapter adapter(const fs::path& executable = FAKE_CODEX_PATH) {
    return CodexAdapter(CodexAdapter::Configuration{.directory = directory.path(),
                                                    .executable = executable,
                                                    .model = "gpt-5.6-luna",
                                                    .guardFD = guard,
                                                    .supervisor = fs::path(CORVANE_TOOL_PATH),
                                                    .supportEvents = {}});
  }
  void home(const std::string& credential, const Json& scenario) {
    fs::create_directories(directory / "codex" / credential);
    std::ofstream(directory / "codex" / credential / "auth.json") << R"({"account": {"planType": "pro"}})";
    std::ofstream(directory / "codex" / credential / "fake-codex.json") << scenario.dump();
  }

  int guard = -1;
};

TEST_F(TaskExecutionRuntimeTest, AReadThatTimesOutStoresTheReadsFailureCode) {
  home("c1", Json::object());
  home("c2", {{"methods", {{"account/read", {{"hang", true}}}}}});
  CodexAdapter runtime = adapter();
  startAgent(runtime);
  Json read = run(offer("read-ok", "read", "c1"));
  EXPECT_EQ(read["result"], "succeeded");
  EXPECT_EQ(read["data"]["planType"], "pro");

  // Five seconds of the eleven are the margin before the lease ends.
  coordinator.control("executor/answers", {{"leaseSeconds", 11}});
  EXPECT_EQ(run(offer("read-hangs", "read", "c2")), outcome("failed", "codex_account_read_timeout"));
}

TEST_F(TaskExecutionRuntimeTest, APingWhoseRuntimeDoesNotStartIsUnknown) {
  CodexAdapter runtime = adapter(directory / "no-such-codex");
  startAgent(runtime);
  EXPECT_EQ(run(offer("ping-1", "ping", "c1")), (Json{{"result", "unknown"}}));
  EXPECT_EQ(row("ping-1")["stage"], "sending");
}

}  // namespace
}  // namespace corvane::test
