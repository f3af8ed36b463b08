// The data directory full (RLIMIT_FSIZE on the executor, with SIGXFSZ
// ignored, so a write past the limit fails with EFBIG as on a full disk):
// the executor says so in its health file and app-status, the journal stays
// sound with every earlier row intact, and once there is room again every
// task it had claimed ends with one delivered result.

#include <signal.h>
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
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

// The journal's integrity verdict and its task rows (id → result,delivered),
// read with SQLite directly.
struct JournalContents {
  std::string integrity;
  std::map<std::string, std::string> rows;
};

JournalContents readJournal(const fs::path& file) {
  JournalContents contents;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return contents;
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW)
    contents.integrity = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  sqlite3_finalize(statement);
  if (sqlite3_prepare_v2(db, "SELECT id, coalesce(result,'NULL') || ',' || delivered FROM tasks", -1, &statement,
                         nullptr) == SQLITE_OK)
    while (sqlite3_step(statement) == SQLITE_ROW)
      contents.rows[reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))] =
          reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return contents;
}

class DiskFullTest : public test::PairedDirectoryTest {
 protected:
  void offerReads(int from, int to) {
    Json offers = Json::array();
    for (int n = from; n < to; ++n) {
      std::string credential = "c" + std::to_string(n);
      fs::create_directories(data / "codex" / credential);
      std::ofstream(data / "codex" / credential / "auth.json") << R"({"account": {"planType": "pro"}})";
      ids.push_back("read-" + std::to_string(n));
      offers.push_back(Json{{"id", ids.back()},
                            {"accountId", "account-" + credential},
                            {"credentialId", credential},
                            {"bindingVersion", 1},
                            {"action", "read"},
                            {"expiresAt", "2099-01-01T00:00:00Z"}});
    }
    server.control("executor/offers", {{"offers", offers}});
  }
  Json task(const std::string& id) const { return server.control("executor/tasks", {{"id", id}})["tasks"][0]; }
  Json health() const { return parseJSON(readFile(data / "agent-health.json")).value_or(Json()); }
  void stop(AgentProcess& agent) {
    agent.signal(SIGTERM);
    auto status = agent.wait(60);
    ASSERT_TRUE(status.has_value()) << "the agent hangs after SIGTERM\n" << agent.err();
    EXPECT_EQ(*status, 0) << agent.err();
  }

  std::vector<std::string> ids;
};

TEST_F(DiskFullTest, AFullDirectoryIsReportedAndLeavesTheJournalSound) {
  const int before = 8;
  const int during = test::ReliabilitySettings::current().shortRun ? 12 : 40;
  {
    AgentProcess agent(arguments("agent"), logs);
    offerReads(0, before);
    ASSERT_TRUE(eventually([&] {
      for (const auto& id : ids)
        if (task(id)["completions"].empty()) return false;
      return true;
    })) << agent.err();
    stop(agent);
  }
  JournalContents earlier = readJournal(data / "agent.sqlite3");
  ASSERT_EQ(earlier.integrity, "ok");
  ASSERT_EQ(earlier.rows.size(), static_cast<size_t>(before));

  // No file may grow past the journal's present size: the first new rows
  // need room that is not there.
  size_t limit = fs::file_size(data / "agent.sqlite3");
  int claimed = 0;
  // A claim the journal cannot record is lost to the executor; the
  // coordinator takes the task back when its lease runs out.
  server.control("executor/answers", {{"leaseSeconds", 10}, {"reofferExpired", true}});
  {
    AgentProcess agent(arguments("agent"), logs, {.fileSize = limit});
    offerReads(before, before + during);
    bool reported = eventually([&] { return health()["state"] == "storage_error"; });
    EXPECT_TRUE(reported) << "no storage error after filling the disk: " << health() << "\n" << agent.err();
    EXPECT_EQ(health()["lastErrorCode"], "journal_unavailable") << health();
    auto status = test::runProgram(CORVANE_TOOL_PATH, arguments("app-status"));
    EXPECT_EQ(status.status, 0) << status.err;
    Json shown = parseJSON(status.out).value_or(Json());
    EXPECT_EQ(shown["health"]["state"], "storage_error") << status.out;
    stop(agent);
    for (const auto& id : ids) claimed += task(id)["claims"].get<int>() > 0 ? 1 : 0;
  }

  JournalContents after = readJournal(data / "agent.sqlite3");
  EXPECT_EQ(after.integrity, "ok");
  for (const auto& [id, row] : earlier.rows) EXPECT_EQ(after.rows[id], row) << id;

  // With room again, each task claimed while the disk was full gets one
  // result; the others are taken up anew, and so are the claims the journal
  // could not record once their leases ran out.
  {
    AgentProcess agent(arguments("agent"), logs);
    int polls = 0;
    bool settled = eventually(
        [&] {
          // A coordinator wakes the executor when it offers a task again.
          if (++polls % 50 == 0) server.control("wake");
          for (const auto& id : ids)
            if (task(id)["completions"].empty()) return false;
          return true;
        },
        120);
    EXPECT_TRUE(settled) << agent.err();
    stop(agent);
  }
  int unrecorded = 0;
  for (const auto& id : ids) {
    Json record = task(id);
    EXPECT_GE(record["claims"], 1) << id;
    EXPECT_LE(record["claims"], 2) << id;
    unrecorded += record["claims"].get<int>() - 1;
    EXPECT_EQ(record["completions"].size(), 1u) << id;
  }
  EXPECT_EQ(readJournal(data / "agent.sqlite3").integrity, "ok");

  test::report(
      {"disk-full data directory (RLIMIT_FSIZE " + std::to_string(limit) + " bytes)",
       3,
       before + during,
       1,
       {std::to_string(claimed - before) + " tasks claimed while full, all ended with one result afterwards",
        std::to_string(unrecorded) + " of them claimed but refused by the full journal, taken back by the lease",
        ::testing::Test::HasFailure() ? "FOUND: see the failures above" : "found: nothing"}});
}

}  // namespace
}  // namespace corvane
