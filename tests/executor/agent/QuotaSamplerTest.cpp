#include "executor/agent/QuotaSampler.h"

#include <cmath>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "AgentFixture.h"
#include "QuotaDiagnosticRows.h"
#include "executor/support/CVError.h"
#include "support/ErrorOf.h"

namespace corvane::test {
namespace {

using std::chrono::microseconds;
using std::chrono::seconds;

// The Codex read as a test scripts it: per credential a queue of answers (a
// sample, or an error to throw), the last one repeated. Only reads are used.
class ScriptedCodex final : public CodexOperations {
 public:
  using Answer = std::function<Json()>;

  void script(const std::string& credential, std::vector<Answer> answers) {
    std::lock_guard guard(mutex_);
    answers_[credential] = std::deque<Answer>(answers.begin(), answers.end());
  }
  void script(const std::string& credential, const Json& sample) {
    script(credential, {[sample] { return sample; }});
  }
  std::vector<std::string> reads() {
    std::lock_guard guard(mutex_);
    return reads_;
  }
  // Runs inside every read, before its answer.
  std::function<void(const std::string& credential)> duringRead;

  std::unique_ptr<CodexOperations> forTask(const CodexTaskLabel&) const override { throw CVError::runtime("unused"); }
  Connection connect(const std::string&, double, const Progress&) override { throw CVError::runtime("unused"); }
  Json remove(const std::string&, double) override { throw CVError::runtime("unused"); }
  Json ping(const std::string&, double) override { throw CVError::runtime("unused"); }

  Json readAccount(const std::string& credential, double) override {
    if (duringRead) duringRead(credential);
    Answer answer;
    {
      std::lock_guard guard(mutex_);
      reads_.push_back(credential);
      auto& queue = answers_[credential];
      if (queue.empty()) throw CVError::runtime("not_authenticated");
      answer = queue.front();
      if (queue.size() > 1) queue.pop_front();
    }
    return answer();
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::deque<Answer>> answers_;
  std::vector<std::string> reads_;
};

// A quota sample as the adapter assembles it.
Json sample(double used, const std::string& reason = "baseline_missing",
            const Json& states = {{"fiveHour", "active"}, {"weekly", "active"}}) {
  return Json{{"planType", "pro"},
              {"email", "person@example.com"},
              {"rateLimits",
               {{"rateLimits",
                 {{"limitId", "codex"},
                  {"primary", {{"usedPercent", used}, {"windowDurationMins", 300}, {"resetsAt", 1.9e9}}},
                  {"secondary", {{"usedPercent", 10}, {"windowDurationMins", 10080}, {"resetsAt", 1.95e9}}}}}}},
              {"windowStates", states},
              {"_resetDiagnostic", {{"reason", reason}}}};
}

Json plan(const std::string& account, const std::string& credential, double interval = 60,
          const Json& extra = Json::object()) {
  Json plan{{"accountId", account},
            {"credentialId", credential},
            {"bindingVersion", 1},
            {"intervalSeconds", interval},
            {"validUntil", "2099-01-01T00:00:00Z"}};
  plan.update(extra);
  return plan;
}

const double minusInfinity = -std::numeric_limits<double>::infinity();

// An agent that is never run: the test synchronises it with tick() and runs
// the sampler's passes itself, moving the agent's clock in between. Task
// bodies wait at a gate per task id.
class QuotaSamplerTest : public AgentFixture {
 protected:
  QuotaSamplerTest() : agent(*client, *journal, samplerHooks(), timer), sampler(codex) {}

  void TearDown() override {
    for (auto& [id, gate] : gates) gate.open();
    // What stays on this machine never reaches the coordinator.
    for (const auto& report : received()) {
      EXPECT_FALSE(report.contains("refreshRequired")) << report;
      EXPECT_FALSE(report.value("data", Json::object()).contains("_resetDiagnostic")) << report;
    }
  }

  AgentHooks samplerHooks() {
    AgentHooks hooks = AgentFixture::hooks();
    hooks.execute = [this](Agent&, const ExecutorTask& task) { gates.at(task.id).pass(); };
    return hooks;
  }

  void plans(const std::vector<Json>& list) {
    coordinator.control("executor/sync", {{"samplingPlans", list}});
    agent.tick();
  }
  void pass() { sampler.sample(agent); }
  void advance(double span) { timer.manual().advance(microseconds(std::llround(span * 1e6))); }
  double now() { return timer.clock().continuousSeconds(); }
  // The coordinator's current time as the agent reckons it.
  WallTime serverNow() {
    Json text("2099-01-01T00:00:00Z");
    WallTime far = parseTime(&text);
    return far - microseconds(std::llround(agent.remaining(far) * 1e6));
  }
  double serverUnix() { return std::chrono::duration<double>(serverNow().time_since_epoch()).count(); }

  void answers(const Json& list) { coordinator.control("executor/quota-reports", {{"answers", list}}); }
  Json received() { return coordinator.control("executor/quota-reports")["received"]; }
  std::vector<QuotaDiagnosticRow> rows() { return quotaDiagnosticRows(directory / "agent.sqlite3"); }
  std::vector<std::string> reasons(const std::string& account) {
    std::vector<std::string> names;
    for (const auto& row : rows())
      if (row.accountID == account) names.push_back(row.reason);
    return names;
  }
  QuotaDiagnosticRow lastRow() { return rows().back(); }
  QuotaSamplingCursor cursor(const std::string& account) { return agent.samplingCursors().at(account); }
  std::pair<size_t, int> claims() {
    std::pair<size_t, int> held;
    agent.withSamplingState([&](Agent::SamplingState& state) { held = {state.busy.size(), state.readPingCount}; });
    return held;
  }

  ScriptedCodex codex;
  std::map<std::string, Gate> gates;
  Agent agent;
  QuotaSampler sampler;
};

TEST_F(QuotaSamplerTest, AFreshCursorReadsAtOnceAndReportsTheReading) {
  codex.script("cred", sample(20));
  plans({plan("acct", "cred")});
  pass();

  EXPECT_EQ(codex.reads(), std::vector<std::string>{"cred"});
  Json sent = received();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]["accountId"], "acct");
  EXPECT_EQ(sent[0]["bindingVersion"], 1);
  EXPECT_EQ(sent[0]["data"]["rateLimits"], sample(20)["rateLimits"]);
  EXPECT_NO_THROW(parseTime(&sent[0]["readStartedAt"]));
  EXPECT_NO_THROW(parseTime(&sent[0]["readCompletedAt"]));
  EXPECT_FALSE(journal->quotaReport("acct"));
  EXPECT_EQ(reasons("acct"), (std::vector<std::string>{"sample_persisted", "report_acknowledged"}));
  QuotaSamplingCursor worked = cursor("acct");
  EXPECT_EQ(worked.lastAttempt, now());
  EXPECT_EQ(worked.lastReportAt, now());
  EXPECT_TRUE(worked.lastReported);
  EXPECT_EQ(worked.retryAt, 0);
  EXPECT_EQ(claims(), (std::pair<size_t, int>{0, 0}));

  // Nothing is due a moment later.
  pass();
  EXPECT_EQ(codex.reads().size(), 1u);
}

TEST_F(QuotaSamplerTest, ReadingsComeAsOftenAsThePlanSays) {
  struct Case {
    const char* name;
    double interval;
    Json extra;
    Json states;
    double period;
  };
  const Case cases[] = {
      {"every 300 s", 300, Json::object(), {{"fiveHour", "active"}}, 300},
      {"every 60 s", 60, Json::object(), {{"fiveHour", "active"}}, 60},
      {"in the foreground", 300, {{"foregroundUntil", "2099-01-01T00:00:00Z"}}, {{"fiveHour", "active"}}, 15},
      {"confirming an unknown phase", 300, Json::object(), {{"fiveHour", "unknown"}}, 15},
  };
  int index = 0;
  for (const auto& [name, interval, extra, states, period] : cases) {
    SCOPED_TRACE(name);
    std::string account = "acct" + std::to_string(index);
    std::string credential = "cred" + std::to_string(index++);
    codex.script(credential, sample(20, "unchanged", states));
    plans({plan(account, credential, interval, extra)});
    size_t before = codex.reads().size();
    pass();
    EXPECT_EQ(codex.reads().size(), before + 1);
    advance(period - 1);
    pass();
    EXPECT_EQ(codex.reads().size(), before + 1);
    advance(1);
    pass();
    EXPECT_EQ(codex.reads().size(), before + 2);
  }
}

TEST_F(QuotaSamplerTest, APassedResetIsReadAtOnceOpensAConfirmationWindowAndCountsOnce) {
  codex.script("cred", sample(20, "unchanged"));
  plans({plan("acct", "cred")});
  WallTime reset = std::chrono::floor<seconds>(serverNow()) + seconds(30);
  plans({plan("acct", "cred", 60, {{"nextResetAt", formatTime(reset)}})});
  pass();
  ASSERT_EQ(codex.reads().size(), 1u);

  advance(31);
  pass();
  EXPECT_EQ(codex.reads().size(), 2u);
  QuotaSamplingCursor handled = cursor("acct");
  EXPECT_EQ(handled.confirmationUntil, now() + 120);
  EXPECT_EQ(handled.lastResetChecked, reset);
  // A due reset is always worth a report.
  EXPECT_EQ(received().size(), 2u);

  // The same reset does not trigger again; the confirmation window reads
  // every 15 s.
  advance(1);
  pass();
  EXPECT_EQ(codex.reads().size(), 2u);
  advance(14);
  pass();
  EXPECT_EQ(codex.reads().size(), 3u);
  EXPECT_EQ(cursor("acct").confirmationUntil, handled.confirmationUntil);
}

TEST_F(QuotaSamplerTest, PlansGoInAccountOrderAndShareTheReadSlotsAndCredentialsWithTasks) {
  for (const char* credential : {"ca", "cb", "cc"}) codex.script(credential, sample(20));
  gates.try_emplace("t1");
  gates.try_emplace("t2");
  addOffers({offer("t1", "read", "cb"), offer("t2", "ping", "cx")});
  plans({plan("b", "cb"), plan("c", "cc"), plan("a", "ca")});
  ASSERT_EQ(claims(), (std::pair<size_t, int>{2, 2}));

  // Both read/ping slots are taken by tasks.
  pass();
  EXPECT_TRUE(codex.reads().empty());

  std::vector<std::pair<bool, int>> seen;
  codex.duringRead = [&](const std::string& credential) {
    agent.withSamplingState(
        [&](Agent::SamplingState& state) { seen.emplace_back(state.busy.contains(credential), state.readPingCount); });
  };
  gates.at("t2").open();
  ASSERT_TRUE(eventually([&] { return claims().second == 1; }));
  pass();
  // "b" waits for its task; while a read runs it holds its credential and a slot.
  EXPECT_EQ(codex.reads(), (std::vector<std::string>{"ca", "cc"}));
  EXPECT_EQ(seen, (std::vector<std::pair<bool, int>>{{true, 2}, {true, 2}}));
  EXPECT_FALSE(agent.samplingCursors().contains("b"));

  gates.at("t1").open();
  ASSERT_TRUE(eventually([&] { return claims().second == 0; }));
  pass();
  EXPECT_EQ(codex.reads(), (std::vector<std::string>{"ca", "cc", "cb"}));
}

TEST_F(QuotaSamplerTest, APendingReportIsResentWhileFreshAndReadAgainOtherwise) {
  struct Case {
    const char* name;
    double age;
    Json extra;
    bool read;
    const char* firstReason;
  };
  const Case cases[] = {
      {"30 s old", 30, Json::object(), false, "report_acknowledged"},
      {"60 s old", 60, Json::object(), true, "refresh_without_recovery"},
      {"marked for refresh", 0, {{"refreshRequired", true}}, true, "refresh_without_recovery"},
      {"of another binding", 0, {{"bindingVersion", 7}}, true, "binding_changed"},
  };
  int index = 0;
  for (const auto& [name, age, extra, read, firstReason] : cases) {
    SCOPED_TRACE(name);
    std::string account = "acct" + std::to_string(index);
    std::string credential = "cred" + std::to_string(index++);
    codex.script(credential, sample(55));
    plans({plan(account, credential)});
    Json pending{{"accountId", account},
                 {"bindingVersion", 1},
                 {"data", sample(20)},
                 {"readStartedAt", formatTime(serverNow() - microseconds(std::llround(age * 1e6)))},
                 {"readCompletedAt", formatTime(serverNow())}};
    pending.update(extra);
    journal->saveQuotaReport(account, pending);
    size_t reads = codex.reads().size();
    pass();

    EXPECT_EQ(codex.reads().size(), reads + (read ? 1 : 0));
    Json sent = received().back();
    if (read) {
      EXPECT_EQ(sent["data"]["rateLimits"], sample(55)["rateLimits"]);
    } else {
      pending["data"].erase("_resetDiagnostic");
      EXPECT_EQ(sent, pending);
    }
    EXPECT_EQ(reasons(account).front(), firstReason);
    EXPECT_EQ(reasons(account).back(), "report_acknowledged");
    EXPECT_FALSE(journal->quotaReport(account));
  }
}

TEST_F(QuotaSamplerTest, RecoveryEvidenceRidesAlongUntilAcknowledgedOrTooOld) {
  plans({plan("acct", "cred")});
  double at = serverUnix();
  Json recovered = sample(5, "recovery_observed");
  recovered["resetEvidence"] = {
      {"version", 1},         {"id", "ev-1"},
      {"beforeAt", at - 100}, {"observedAt", at - 10},
      {"bankedStable", true}, {"outcomes", {{{"kind", "extra_recovery"}, {"windowKey", "fiveHour"}}}}};
  codex.script("cred", {[&] { return recovered; }, [] { return sample(6); }});
  answers({{{"status", 400}}, {{"receipt", "missing"}}, {{"receipt", "missing"}}});

  // Refused with 400: kept, marked for a fresh reading.
  pass();
  EXPECT_EQ(lastRow().reason, "report_rejected_refresh");
  EXPECT_EQ(lastRow().value["httpStatus"], 400);
  ASSERT_TRUE(journal->quotaReport("acct"));
  EXPECT_EQ((*journal->quotaReport("acct"))["refreshRequired"], true);
  EXPECT_EQ(cursor("acct").retryAt, now() + 15);
  EXPECT_EQ(cursor("acct").lastAttempt, minusInfinity);

  advance(14);
  pass();
  EXPECT_EQ(codex.reads().size(), 1u);

  // Re-read, with the evidence carried; its receipt does not come.
  advance(1);
  pass();
  EXPECT_EQ(codex.reads().size(), 2u);
  Json sent = received().back();
  EXPECT_EQ(sent["recoveryReport"]["data"]["resetEvidence"]["id"], "ev-1");
  EXPECT_FALSE(sent["recoveryReport"]["data"].contains("_resetDiagnostic"));
  EXPECT_EQ(sent["data"]["rateLimits"], sample(6)["rateLimits"]);
  auto held = journal->quotaReport("acct");
  ASSERT_TRUE(held);
  EXPECT_EQ((*held)["refreshRequired"], true);
  EXPECT_TRUE(held->contains("recoveryReport"));
  EXPECT_EQ(cursor("acct").retryAt, now() + 15);
  auto names = reasons("acct");
  EXPECT_EQ(std::vector<std::string>(names.end() - 3, names.end()),
            (std::vector<std::string>{"refresh_retaining_recovery", "sample_persisted", "recovery_ack_missing"}));

  // Carried again from the carried copy.
  advance(15);
  pass();
  EXPECT_EQ(received().back()["recoveryReport"]["data"]["resetEvidence"]["id"], "ev-1");

  // Once the evidence is 1800 s old it is dropped, and the report is done.
  advance(1800);
  pass();
  EXPECT_EQ(codex.reads().size(), 4u);
  EXPECT_FALSE(received().back().contains("recoveryReport"));
  names = reasons("acct");
  EXPECT_EQ(std::vector<std::string>(names.end() - 3, names.end()),
            (std::vector<std::string>{"refresh_without_recovery", "sample_persisted", "report_acknowledged"}));
  EXPECT_FALSE(journal->quotaReport("acct"));
  EXPECT_EQ(cursor("acct").retryAt, 0);
}

TEST_F(QuotaSamplerTest, TheReceiptDecidesWhetherARecoveryReportIsDone) {
  struct Case {
    Json answer;
    const char* reason;
    bool kept;
  };
  const Case cases[] = {
      {{{"receipt", "accepted"}}, "report_acknowledged", false},
      {{{"receipt", "duplicate"}, {"reason", "report_already_received"}}, "recovery_duplicate", false},
      {{{"receipt", "rejected"}, {"reason", "recovery_replayed"}}, "recovery_rejected", false},
      {{{"receipt", "unknown"}}, "recovery_ack_missing", true},
      {{{"receipt", "missing"}}, "recovery_ack_missing", true},
  };
  int index = 0;
  for (const auto& [answer, reason, kept] : cases) {
    SCOPED_TRACE(answer.dump());
    std::string account = "acct" + std::to_string(index);
    std::string credential = "cred" + std::to_string(index++);
    codex.script(credential, sample(30));
    plans({plan(account, credential)});
    double at = serverUnix();
    Json data = sample(5);
    data["resetEvidence"] = {
        {"id", "ev-2"}, {"beforeAt", at - 100}, {"observedAt", at - 10}, {"outcomes", {{{"kind", "banked_grant"}}}}};
    journal->saveQuotaReport(account, Json{{"accountId", account},
                                           {"bindingVersion", 1},
                                           {"data", data},
                                           {"readStartedAt", formatTime(serverNow())},
                                           {"refreshRequired", true}});
    answers(Json::array({answer}));
    pass();
    EXPECT_EQ(lastRow().reason, reason);
    EXPECT_EQ(journal->quotaReport(account).has_value(), kept);
    if (answer.contains("reason")) {
      EXPECT_EQ(lastRow().value["recoveryReason"], answer["reason"]);
    }
  }
}

TEST_F(QuotaSamplerTest, AnUploadRefusedOrFailedIsRecordedAndRetriedIn15Seconds) {
  struct Case {
    int status;
    const char* reason;
    bool kept;
    bool marked;
    bool readAgainAtOnce;
  };
  const Case cases[] = {
      {409, "report_binding_rejected", false, false, true}, {404, "report_binding_rejected", false, false, true},
      {403, "report_binding_rejected", false, false, true}, {400, "report_rejected_refresh", true, true, true},
      {500, "report_upload_failed", true, false, false},
  };
  int index = 0;
  for (const auto& [status, reason, kept, marked, readAgainAtOnce] : cases) {
    SCOPED_TRACE(status);
    std::string account = "acct" + std::to_string(index);
    std::string credential = "cred" + std::to_string(index++);
    codex.script(credential, sample(30));
    plans({plan(account, credential)});
    answers(Json::array({Json{{"status", status}}}));
    pass();

    QuotaDiagnosticRow row = lastRow();
    EXPECT_EQ(row.reason, reason);
    EXPECT_EQ(row.value["httpStatus"], status);
    if (status == 500) {
      EXPECT_EQ(row.value["errorCode"], "coordinator_unavailable");
    }
    auto entry = journal->quotaReport(account);
    EXPECT_EQ(entry.has_value(), kept);
    if (entry) {
      EXPECT_EQ(entry->value("refreshRequired", false), marked);
    }
    QuotaSamplingCursor after = cursor(account);
    EXPECT_EQ(after.retryAt, now() + 15);
    EXPECT_EQ(after.lastAttempt, readAgainAtOnce ? minusInfinity : now());
    EXPECT_EQ(claims(), (std::pair<size_t, int>{0, 0}));
  }
}

TEST_F(QuotaSamplerTest, AFailedReadLeavesAnErrorReportThatGoesOutNext) {
  struct Case {
    std::function<Json()> failure;
    const char* stored;
    std::optional<std::string> recorded;
  };
  const Case cases[] = {
      {[]() -> Json { throw CVError::runtime("not_authenticated"); }, "not_authenticated", "not_authenticated"},
      {[]() -> Json { throw CVError::runtime("Account Went Away"); }, "quota_unavailable", std::nullopt},
      {[]() -> Json { throw CVError::timeout(); }, "quota_unavailable", "runtime_timeout"},
      {[]() -> Json { throw std::logic_error("surprise"); }, "quota_unavailable", "executor_error"},
  };
  int index = 0;
  for (const auto& [failure, stored, recorded] : cases) {
    SCOPED_TRACE(stored);
    std::string account = "acct" + std::to_string(index);
    std::string credential = "cred" + std::to_string(index++);
    codex.script(credential, {failure});
    plans({plan(account, credential)});
    size_t sent = received().size();
    pass();

    EXPECT_EQ(received().size(), sent);
    QuotaDiagnosticRow row = lastRow();
    EXPECT_EQ(row.reason, "sample_read_failed");
    if (recorded) {
      EXPECT_EQ(row.value["errorCode"], *recorded);
    } else {
      EXPECT_FALSE(row.value.contains("errorCode"));
    }
    auto entry = journal->quotaReport(account);
    ASSERT_TRUE(entry);
    EXPECT_EQ((*entry)["errorCode"], stored);
    EXPECT_FALSE(entry->contains("data"));
    EXPECT_EQ(cursor(account).retryAt, now() + 15);

    // Still fresh 15 s later, it is sent as it is, without a read.
    size_t reads = codex.reads().size();
    advance(15);
    pass();
    EXPECT_EQ(codex.reads().size(), reads);
    EXPECT_EQ(received().back()["errorCode"], stored);
    EXPECT_FALSE(journal->quotaReport(account));
  }
}

TEST_F(QuotaSamplerTest, AReadingNotWorthAReportIsNotStored) {
  struct Case {
    const char* comparison;
    std::vector<std::string> added;
  };
  const Case cases[] = {
      {"unchanged", {}},
      {"baseline_missing", {"sample_not_uploaded"}},
  };
  int index = 0;
  for (const auto& [comparison, added] : cases) {
    SCOPED_TRACE(comparison);
    std::string account = "acct" + std::to_string(index);
    std::string credential = "cred" + std::to_string(index++);
    codex.script(credential, sample(20, comparison));
    plans({plan(account, credential)});
    pass();
    auto before = reasons(account);
    size_t sent = received().size();

    advance(60);
    pass();
    EXPECT_EQ(codex.reads().size(), static_cast<size_t>(2 * index));
    EXPECT_EQ(received().size(), sent);
    EXPECT_FALSE(journal->quotaReport(account));
    before.insert(before.end(), added.begin(), added.end());
    EXPECT_EQ(reasons(account), before);
  }
}

TEST_F(QuotaSamplerTest, OffersThatComeWithTheReceiptAreTaken) {
  codex.script("cred", sample(20));
  plans({plan("acct", "cred")});
  gates.try_emplace("t9");
  addOffers({offer("t9", "read", "cz")});
  answers(Json::array({Json{{"offers", true}}, Json{{"answer", {{"tasks", 5}}}}}));
  pass();
  // The task waits at its gate, holding its credential and a slot.
  EXPECT_EQ(claims(), (std::pair<size_t, int>{1, 1}));

  // A bad offer list stops the pass once the account is released; the
  // report itself was taken.
  codex.script("cred", sample(40));
  advance(60);
  auto error = errorOf([&] { pass(); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message(), "Invalid task list");
  EXPECT_EQ(reasons("acct").back(), "report_acknowledged");
  EXPECT_EQ(claims(), (std::pair<size_t, int>{1, 1}));
}

TEST_F(QuotaSamplerTest, TheAgentsSamplerThreadRunsThePassesOnceInstalled) {
  codex.script("cred", sample(20));
  coordinator.control("executor/sync", {{"samplingPlans", {plan("acct", "cred")}}});
  QuotaSampler installed(codex);
  AgentHooks withSampler = hooks();
  withSampler.sampleQuota = [&installed](Agent& running) { installed.sample(running); };
  Agent running(*client, *journal, withSampler, timer);
  std::thread loop([&] { running.run(); });
  EXPECT_TRUE(eventually([&] { return !received().empty(); }));
  running.stop();
  loop.join();
  EXPECT_EQ(received()[0]["accountId"], "acct");
}

TEST_F(QuotaSamplerTest, ANewCredentialForAnAccountIsReadAtOnce) {
  codex.script("old", sample(20));
  codex.script("new", sample(20));
  plans({plan("acct", "old")});
  pass();
  plans({plan("acct", "new")});
  pass();
  EXPECT_EQ(codex.reads(), (std::vector<std::string>{"old", "new"}));
}

TEST_F(QuotaSamplerTest, AJournalFailureIsAStorageFailureOfTheAgent) {
  codex.script("cred", sample(20));
  plans({plan("acct", "cred")});
  // The outbox goes away while the account is being read.
  codex.duringRead = [&](const std::string&) { journal->execute("DROP TABLE quota_outbox"); };
  pass();
  QuotaDiagnosticRow row = lastRow();
  EXPECT_EQ(row.reason, "sample_persistence_failed");
  EXPECT_EQ(row.value["errorCode"], "journal_unavailable");
  EXPECT_EQ(healths().back().state, AgentHealthState::storageError);
  EXPECT_EQ(claims(), (std::pair<size_t, int>{0, 0}));

  // Before any work starts, the pass itself fails.
  EXPECT_EQ(errorOf([&] { pass(); }), CVError::storage());
}

TEST_F(QuotaSamplerTest, ExpiredPlansAndAStoppedAgentAreLeftAlone) {
  codex.script("cred", sample(20));
  plans({plan("old", "cred", 60, {{"validUntil", "2001-01-01T00:00:00Z"}})});
  pass();
  EXPECT_TRUE(codex.reads().empty());

  plans({plan("acct", "cred")});
  agent.stop();
  pass();
  EXPECT_TRUE(codex.reads().empty());
  EXPECT_FALSE(agent.samplingCursors().contains("acct"));
}

}  // namespace
}  // namespace corvane::test
