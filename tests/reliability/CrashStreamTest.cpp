// kill -9 of the real executor at random moments while a stream of tasks of
// every kind runs through it, against the development coordinator and the
// fake runtime: after the restarts every claimed task has exactly one
// delivered result, and nothing reached the runtime twice.

#include <signal.h>
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "executor/support/Json.h"
#include "reliability/AgentProcess.h"
#include "reliability/PairedDirectory.h"
#include "reliability/ReliabilityRun.h"
#include "support/ReadFile.h"
#include "support/RunResult.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::AgentProcess;
using test::eventually;
using test::readFile;

// The kinds of task in the stream, in turn. Each task has an account of its
// own, so what its runtime received is what this one task sent.
struct Kind {
  std::string name;
  std::string action;
  bool automatic;
  Json scenario;  // the fake runtime's script: slow enough that kills land inside
};

const std::vector<Kind>& kinds() {
  static const std::vector<Kind> list = {
      {"read", "read", false, {{"methods", {{"account/rateLimits/read", {{"delayMs", 300}}}}}}},
      {"connect", "connect", false, {{"deviceCode", {{"completeAfterMs", 300}}}}},
      {"ping", "ping", false, {{"exec", {{"delayMs", 300}}}}},
      {"auto-ping", "ping", true, {{"exec", {{"delayMs", 300}}}}},
      {"remove", "remove", false, Json::object()},
  };
  return list;
}

// The outcomes ("result errorCode") a task of each kind may end with: its
// own, or the one restart recovery gives a task a kill interrupted. Anything
// else (a read that failed, a lease that ran out) is a fault.
const std::map<std::string, std::set<std::string>>& allowedOutcomes() {
  static const std::map<std::string, std::set<std::string>> allowed = {
      {"read", {"succeeded", "unknown executor_restarted"}},
      {"connect", {"succeeded", "unknown executor_restarted"}},
      {"ping", {"succeeded", "unknown executor_restarted", "failed executor_restarted"}},
      {"auto-ping", {"succeeded", "unknown executor_restarted", "skipped quota_unavailable"}},
      {"remove", {"succeeded", "unknown executor_restarted"}},
  };
  return allowed;
}

// What one journal says about itself, read with SQLite directly.
struct JournalCheck {
  std::string integrity;
  int rows = -1;
  int undelivered = -1;
  std::map<std::string, std::string> leases;  // task id → the lease it was journalled with
};

JournalCheck checkJournal(const fs::path& file) {
  JournalCheck check;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return check;
  }
  auto text = [&](const char* sql) {
    sqlite3_stmt* statement = nullptr;
    std::string value;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW)
      if (const unsigned char* column = sqlite3_column_text(statement, 0))
        value = reinterpret_cast<const char*>(column);
    sqlite3_finalize(statement);
    return value;
  };
  check.integrity = text("PRAGMA integrity_check");
  check.rows = std::stoi("0" + text("SELECT count(*) FROM tasks"));
  check.undelivered = std::stoi("0" + text("SELECT count(*) FROM tasks WHERE delivered=0"));
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT id, lease_id FROM tasks", -1, &statement, nullptr) == SQLITE_OK)
    while (sqlite3_step(statement) == SQLITE_ROW)
      check.leases[reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))] =
          reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return check;
}

class CrashStreamTest : public test::PairedDirectoryTest {
 protected:
  void account(const std::string& credential, const Json& scenario) const {
    fs::path home = data / "codex" / credential;
    fs::create_directories(home);
    std::ofstream(home / "auth.json") << R"({"account": {"email": "a@example.com", "planType": "pro"}})";
    std::ofstream(home / "fake-codex.json") << scenario.dump();
  }
  Json calls(const std::string& credential) const {
    return parseJSON(readFile(data / "codex" / credential / "fake-codex-calls.json")).value_or(Json::object());
  }
};

TEST_F(CrashStreamTest, KillsAtRandomMomentsLeaveOneResultPerClaimedTaskAndNoRepeatedSend) {
  const auto& settings = test::ReliabilitySettings::current();
  auto random = test::randomSource("crash-stream");
  const int total = settings.tasks;
  // Enough kills that most tasks see one land while they run; the short run
  // keeps a handful.
  const int killBudget = settings.shortRun ? 6 : std::max(10, total / 4);
  // Offers outstanding at a time: a stream, not one batch.
  const size_t window = settings.shortRun ? 6 : 12;

  struct Task {
    std::string id;
    std::string credential;
    const Kind* kind;
  };
  std::vector<Task> tasks;
  for (int n = 0; n < total; ++n) {
    const Kind& kind = kinds()[n % kinds().size()];
    Task task{"t" + std::to_string(n) + "-" + kind.name, "c" + std::to_string(n), &kind};
    account(task.credential, kind.scenario);
    tasks.push_back(task);
  }
  // A kill between the coordinator's answer to a claim and the journal's
  // record of it leaves a claim the executor never heard of; the coordinator
  // takes the task back when its lease runs out and offers it again.
  server.control("executor/answers",
                 {{"authorizeSend", {{"allowed", true}}}, {"leaseSeconds", 45}, {"reofferExpired", true}});

  size_t offered = 0;
  auto records = [&] {
    std::map<std::string, Json> byID;
    Json answer = server.control("executor/tasks");
    for (const auto& record : answer["tasks"]) byID[record["id"]] = record;
    return byID;
  };
  auto completed = [&](const std::map<std::string, Json>& byID) {
    size_t count = 0;
    for (const auto& [id, record] : byID)
      if (!record["completions"].empty()) ++count;
    return count;
  };
  // Keeps the stream going: new offers as earlier tasks end. True once
  // every task has a result.
  auto topUp = [&] {
    auto byID = records();
    size_t done = completed(byID);
    Json batch = Json::array();
    while (offered < tasks.size() && offered < done + window) {
      const Task& task = tasks[offered++];
      Json offer{{"id", task.id},
                 {"accountId", "account-" + task.credential},
                 {"credentialId", task.credential},
                 {"bindingVersion", 1},
                 {"action", task.kind->action},
                 {"expiresAt", "2099-01-01T00:00:00Z"}};
      if (task.kind->automatic) offer["payload"] = {{"triggers", {"window_reset"}}};
      batch.push_back(offer);
    }
    if (!batch.empty()) server.control("executor/offers", {{"offers", batch}});
    return done == tasks.size();
  };

  int runs = 0;
  int kills = 0;
  std::uniform_real_distribution<double> moment(0.0, 1.0);
  std::vector<std::string> killedAt;
  for (;;) {
    auto agent = std::make_unique<AgentProcess>(arguments("agent"), logs);
    ++runs;
    if (kills < killBudget) {
      double after = moment(random);
      auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(after);
      bool finished = false;
      while (std::chrono::steady_clock::now() < until && !finished) {
        finished = topUp();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (finished) break;
      agent->crash();
      ++kills;
      std::ostringstream when;
      when.precision(3);
      when << after;
      killedAt.push_back(when.str());
      ASSERT_TRUE(eventually([&] { return test::executorLockFree(data); }, 120))
          << "the runtimes of a killed executor still hold its lock";
      continue;
    }
    // No more kills: this run must finish the stream.
    int polls = 0;
    bool finished = eventually(
        [&] {
          // A coordinator wakes the executor when it offers a task again.
          if (++polls % 50 == 0) server.control("wake");
          return topUp();
        },
        90 + 2.0 * total);
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->wait(), 0) << agent->err();
    if (!finished) {
      auto left = records();
      std::string missing;
      for (const auto& [id, record] : left)
        if (record["completions"].empty()) missing += " " + id + " (claims " + record["claims"].dump() + ")";
      auto journalled = checkJournal(data / "agent.sqlite3");
      FAIL() << "tasks without a result after the last restart:" << missing << "; the journal has " << journalled.rows
             << " rows, " << journalled.undelivered << " undelivered; seed " << settings.seed;
    }
    break;
  }
  // A last run that must not find anything left to do (and must start).
  auto last = std::make_unique<AgentProcess>(arguments("agent"), logs);
  ++runs;
  ASSERT_TRUE(eventually([&] { return last->out().find("executor started") != std::string::npos; })) << last->err();
  last->signal(SIGTERM);
  EXPECT_EQ(last->wait(), 0) << last->err();

  auto journal = checkJournal(data / "agent.sqlite3");
  EXPECT_EQ(journal.integrity, "ok");
  EXPECT_EQ(journal.rows, total);
  EXPECT_EQ(journal.undelivered, 0);

  std::map<std::string, int> outcomes;
  int sends = 0;
  int lostClaims = 0;
  auto byID = records();
  for (const auto& task : tasks) {
    SCOPED_TRACE(task.id + " (seed " + std::to_string(settings.seed) + ")");
    ASSERT_TRUE(byID.contains(task.id));
    const Json& record = byID[task.id];
    // A second claim only for a first one the journal never recorded: the
    // journal holds the last lease, and the task ran once, under it.
    EXPECT_GE(record["claims"], 1);
    EXPECT_EQ(journal.leases[task.id], record["leaseId"]);
    lostClaims += record["claims"].get<int>() - 1;
    ASSERT_EQ(record["completions"].size(), 1u) << record.dump();
    const Json& body = record["completions"][0];
    EXPECT_EQ(body["leaseId"], record["leaseId"]);
    std::string result = body.value("result", "");
    std::string outcome = result + (body.contains("errorCode") ? " " + body["errorCode"].get<std::string>() : "");
    EXPECT_TRUE(allowedOutcomes().at(task.kind->name).contains(outcome)) << body.dump();
    ++outcomes[task.kind->name + " " + outcome];

    if (task.kind->action == "remove") {
      if (result == "succeeded") {
        EXPECT_FALSE(fs::exists(data / "codex" / task.credential));
      }
      continue;
    }
    // Each request the runtime counts, at most once: a restart never sends a
    // ping, a sign-in or a reading again. Starts (initialize) may repeat.
    Json counts = calls(task.credential);
    for (const auto& [method, count] : counts.items())
      if (method != "initialize") {
        EXPECT_LE(count.get<int>(), 1) << method << " in " << counts.dump();
      }
    int execs = counts.value("exec", 0);
    sends += execs;
    if (task.kind->action == "ping") {
      // A ping reaches the runtime only after the coordinator heard of it.
      if (execs > 0) {
        EXPECT_FALSE(record["sendStarts"].empty());
      }
      if (result == "succeeded") {
        EXPECT_EQ(execs, 1);
      }
    }
  }

  test::ReliabilityFigures figures{"kill -9 during a task stream", runs, total, kills, {}};
  std::string moments;
  for (const auto& at : killedAt) moments += (moments.empty() ? "" : " ") + at;
  figures.notes.push_back("kills after (s): " + moments);
  figures.notes.push_back("pings sent to the runtime: " + std::to_string(sends));
  figures.notes.push_back("claims lost with a killed executor, taken up again after the lease: " +
                          std::to_string(lostClaims));
  for (const auto& [outcome, count] : outcomes) figures.notes.push_back(outcome + ": " + std::to_string(count));
  figures.notes.push_back(::testing::Test::HasFailure() ? "FOUND: see the failures above" : "found: nothing");
  test::report(figures);
}

}  // namespace
}  // namespace corvane
