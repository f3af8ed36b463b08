#include "executor/state/Journal.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <thread>

#include "executor/support/CVError.h"
#include "support/ManualClock.h"
#include "support/RunResult.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Direct access to the database file, for planting old schemas and damaged
// rows and for looking at what the journal left behind.
class RawDatabase {
 public:
  explicit RawDatabase(const fs::path& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
      throw std::runtime_error("cannot open test database");
  }
  ~RawDatabase() { sqlite3_close_v2(db_); }

  void exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string message = error ? error : "?";
      sqlite3_free(error);
      throw std::runtime_error(message + " in " + sql);
    }
  }

  // Every row of sql, NULL as "<null>".
  std::vector<std::vector<std::string>> rows(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
      throw std::runtime_error(sqlite3_errmsg(db_));
    std::vector<std::vector<std::string>> result;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        auto text = sqlite3_column_text(statement, i);
        row.push_back(text ? reinterpret_cast<const char*>(text) : "<null>");
      }
      result.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    return result;
  }

  std::string single(const std::string& sql) { return rows(sql).at(0).at(0); }

 private:
  sqlite3* db_ = nullptr;
};

void claim(Journal& journal, const std::string& id, const std::string& stage, const std::string& action) {
  journal.execute("INSERT INTO tasks(id,lease_id,stage,action) VALUES (?,?,?,?)", {id, "lease-" + id, stage, action});
}

void deliver(Journal& journal, const std::string& id) {
  journal.execute("UPDATE tasks SET delivered=1,result='{}' WHERE id=?", {id});
}

void expectStorageError(const std::function<void()>& action) {
  try {
    action();
    ADD_FAILURE() << "expected CVError.storage";
  } catch (const CVError& error) {
    EXPECT_EQ(error.kind(), CVError::Kind::storage) << error.what();
  }
}

void expectInvalid(const std::function<void()>& action, const std::string& text) {
  try {
    action();
    ADD_FAILURE() << "expected CVError.invalid " << text;
  } catch (const CVError& error) {
    EXPECT_EQ(error, CVError::invalid(text));
  }
}

// The results restart recovery writes, by what the task had reached.
const Json manualPingRestarted = {{"result", "failed"}, {"errorCode", "executor_restarted"}};
const Json preflightRestarted = {{"result", "skipped"}, {"errorCode", "quota_unavailable"}};
const Json sendingRestarted = {{"result", "unknown"}, {"errorCode", "executor_restarted"}};

Json withLease(Json result, const std::string& lease) {
  result["leaseId"] = lease;
  return result;
}

test::RunOptions timeout(double seconds) {
  test::RunOptions options;
  options.timeoutSeconds = seconds;
  return options;
}

class JournalTest : public ::testing::Test {
 protected:
  test::TemporaryDirectory directory;
  fs::path path = directory / "agent.sqlite3";
};

// A real process claims tasks in every stage and dies by SIGKILL without
// finishing them; the next open gives each one its definite result.
TEST_F(JournalTest, KilledProcessLeavesOneDefiniteResultPerTask) {
  auto run = test::runProgram(JOURNAL_CRASH_CHILD, {"each-stage", path.string()}, timeout(30));
  ASSERT_EQ(run.status, 128 + SIGKILL) << run.err;
  ASSERT_EQ(run.out, "claimed\n");

  std::vector<Journal::PendingResult> expected = {
      {"remove", {{"result", "succeeded"}, {"leaseId", "lease-remove"}}},
      {"manual", withLease(manualPingRestarted, "lease-manual")},
      {"automatic", withLease(preflightRestarted, "lease-automatic")},
      {"sending", withLease(sendingRestarted, "lease-sending")},
  };
  {
    Journal journal(path);
    EXPECT_EQ(journal.pending(), expected);
  }
  // A second restart finds nothing left unfinished and changes nothing.
  Journal journal(path);
  EXPECT_EQ(journal.pending(), expected);
  RawDatabase raw(path);
  EXPECT_EQ(raw.single("SELECT count(*) FROM tasks WHERE result IS NULL"), "0");
}

// Killed at whatever statement it happened to be in: every task ends up with
// exactly the result its last durable stage calls for, and the database is
// intact.
TEST_F(JournalTest, ProcessKilledAtAnArbitraryPointRecoversConsistently) {
  auto run = test::runProgram(JOURNAL_CRASH_CHILD, {"forever", path.string()}, timeout(1.0));
  ASSERT_EQ(run.status, 128 + SIGKILL) << run.err;

  Journal journal(path);
  RawDatabase raw(path);
  EXPECT_EQ(raw.single("PRAGMA integrity_check"), "ok");
  auto rows = raw.rows("SELECT id,stage,action,result FROM tasks ORDER BY rowid");
  ASSERT_GT(rows.size(), 8u) << "the child made too little progress to show anything";

  std::map<std::string, Json> pending;
  for (auto& [id, result] : journal.pending()) pending[id] = result;
  EXPECT_EQ(pending.size(), rows.size());
  for (const auto& row : rows) {
    const std::string &id = row[0], &stage = row[1], &action = row[2];
    ASSERT_NE(row[3], "<null>") << id;
    Json stored = Json::parse(row[3]);
    Json expected = stored.contains("finishedBy") ? Json{{"result", "succeeded"}, {"finishedBy", "child"}}
                    : stage == "preflight" && action == "manual_ping" ? manualPingRestarted
                    : stage == "preflight"                            ? preflightRestarted
                                                                      : sendingRestarted;
    EXPECT_EQ(stored, expected) << id << " " << stage << " " << action;
    EXPECT_EQ(pending[id], withLease(expected, "lease-" + id)) << id;
  }
}

struct OldSchema {
  const char* name;
  const char* createTable;
};

void PrintTo(const OldSchema& schema, std::ostream* out) { *out << schema.name; }

class JournalMigrationTest : public JournalTest, public ::testing::WithParamInterface<OldSchema> {};

// Rows written before a task's stage and action were kept are pings that may
// have been sent: they keep their data and read as stage sending, action ping.
TEST_P(JournalMigrationTest, OlderTasksTableGainsColumnsAndKeepsRows) {
  {
    RawDatabase raw(path);
    raw.exec(GetParam().createTable);
    raw.exec("INSERT INTO tasks(id,lease_id,result,delivered) VALUES ('done','l1','{\"result\":\"succeeded\"}',0)");
    raw.exec("INSERT INTO tasks(id,lease_id,result,delivered) VALUES ('acked','l2','{}',1)");
    raw.exec("INSERT INTO tasks(id,lease_id) VALUES ('running','l3')");
  }
  Journal journal(path);
  std::vector<Journal::PendingResult> expected = {
      {"done", {{"result", "succeeded"}, {"leaseId", "l1"}}},
      {"running", withLease(sendingRestarted, "l3")},
  };
  EXPECT_EQ(journal.pending(), expected);
  EXPECT_TRUE(journal.contains("acked"));

  RawDatabase raw(path);
  auto rows = raw.rows("SELECT id,lease_id,delivered,stage,action FROM tasks ORDER BY rowid");
  std::vector<std::vector<std::string>> expectedRows = {
      {"done", "l1", "0", "sending", "ping"},
      {"acked", "l2", "1", "sending", "ping"},
      {"running", "l3", "0", "sending", "ping"},
  };
  EXPECT_EQ(rows, expectedRows);
  // New claims use the migrated columns.
  claim(journal, "new", "preflight", "manual_ping");
  EXPECT_EQ(raw.single("SELECT stage || '/' || action FROM tasks WHERE id='new'"), "preflight/manual_ping");
}

INSTANTIATE_TEST_SUITE_P(
    Versions, JournalMigrationTest,
    ::testing::Values(
        OldSchema{"FirstVersion",
                  "CREATE TABLE tasks(id TEXT PRIMARY KEY, lease_id TEXT NOT NULL, result TEXT, delivered INTEGER "
                  "NOT NULL DEFAULT 0)"},
        OldSchema{"WithStageOnly",
                  "CREATE TABLE tasks(id TEXT PRIMARY KEY, lease_id TEXT NOT NULL, result TEXT, delivered INTEGER "
                  "NOT NULL DEFAULT 0, stage TEXT NOT NULL DEFAULT 'sending')"}),
    [](const auto& test) { return test.param.name; });

TEST_F(JournalTest, PruningKeepsTheNewest4096AndNothingAWeekOld) {
  auto now = currentWallTime();
  Journal journal(path);
  auto insert = [&](WallTime at, const std::string& reason) {
    journal.execute("INSERT INTO quota_diagnostics(account_id, recorded_at, reason, value) VALUES (?, ?, ?, ?)",
                    {"acct", Journal::timeParameter(at), reason, "{}"});
  };
  journal.execute("BEGIN");  // only to keep the set-up fast
  for (int i = 0; i < 5000; ++i) insert(now - 1h + std::chrono::milliseconds(i), "recent-" + std::to_string(i));
  // Written last, so only their age can remove them.
  insert(now - 8 * 24h, "eight-days");
  insert(now - 7 * 24h, "seven-days");
  insert(now - 7 * 24h + 1s, "just-under-seven-days");
  journal.execute("COMMIT");

  journal.pruneQuotaDiagnostics(now);
  RawDatabase raw(path);
  EXPECT_EQ(raw.single("SELECT count(*) FROM quota_diagnostics"), "4096");
  // The count rule counts the survivor of the age rule among the newest.
  auto kept = raw.rows("SELECT reason FROM quota_diagnostics ORDER BY id DESC LIMIT 2");
  std::vector<std::vector<std::string>> expectedNewest = {{"just-under-seven-days"}, {"recent-4999"}};
  EXPECT_EQ(kept, expectedNewest);
  EXPECT_EQ(raw.single("SELECT reason FROM quota_diagnostics ORDER BY id LIMIT 1"), "recent-905");
  EXPECT_EQ(raw.single("SELECT count(*) FROM quota_diagnostics WHERE reason IN ('eight-days','seven-days')"), "0");
}

TEST_F(JournalTest, OpeningPrunesDiagnosticsOlderThanAWeek) {
  {
    Journal journal(path);
    auto old = currentWallTime() - 8 * 24h;
    journal.execute("INSERT INTO quota_diagnostics(account_id, recorded_at, reason, value) VALUES (?, ?, ?, ?)",
                    {"acct", Journal::timeParameter(old), "old", "{}"});
  }
  Journal journal(path);
  EXPECT_EQ(RawDatabase(path).single("SELECT count(*) FROM quota_diagnostics"), "0");
}

TEST_F(JournalTest, OpeningPrunesByTheClockItIsGiven) {
  // Far from the machine's own time, so only the given clock can make these
  // rows old: by the system clock they all lie in the future.
  const WallTime opened = std::chrono::sys_days(std::chrono::year(2300) / 1 / 31) + 8h;
  test::ManualClock clock(opened);
  {
    Journal journal(path, clock);
    for (auto [age, reason] : {std::pair{8 * 24h, "eight-days"}, {6 * 24h, "six-days"}, {1h, "an-hour"}})
      journal.execute("INSERT INTO quota_diagnostics(account_id, recorded_at, reason, value) VALUES (?, ?, ?, ?)",
                      {"acct", Journal::timeParameter(opened - age), reason, "{}"});
  }
  auto remaining = [&] { return RawDatabase(path).rows("SELECT reason FROM quota_diagnostics ORDER BY id"); };
  { Journal journal(path, clock); }
  EXPECT_EQ(remaining(), (std::vector<std::vector<std::string>>{{"six-days"}, {"an-hour"}}));
  clock.advance(2 * 24h);
  { Journal journal(path, clock); }
  EXPECT_EQ(remaining(), (std::vector<std::vector<std::string>>{{"an-hour"}}));
}

TEST_F(JournalTest, PendingReportsRemovalsFirstThenClaimOrderUntilDelivered) {
  Journal journal(path);
  claim(journal, "ping-1", "preflight", "ping");
  claim(journal, "read-1", "sending", "read");
  claim(journal, "running", "preflight", "ping");
  claim(journal, "remove-1", "sending", "remove");
  journal.finish("remove-1", {{"result", "succeeded"}});
  journal.finish("read-1", {{"result", "failed"}, {"errorCode", "codex_error"}});
  // A lease key inside a result never replaces the lease the task was claimed with.
  journal.finish("ping-1", {{"result", "succeeded"}, {"leaseId", "forged"}, {"path", "a/b"}});

  std::vector<Journal::PendingResult> expected = {
      {"remove-1", {{"result", "succeeded"}, {"leaseId", "lease-remove-1"}}},
      {"ping-1", {{"result", "succeeded"}, {"leaseId", "lease-ping-1"}, {"path", "a/b"}}},
      {"read-1", {{"result", "failed"}, {"errorCode", "codex_error"}, {"leaseId", "lease-read-1"}}},
  };
  EXPECT_EQ(journal.pending(), expected);
  EXPECT_EQ(RawDatabase(path).single("SELECT result FROM tasks WHERE id='ping-1'"),
            R"({"leaseId":"forged","path":"a/b","result":"succeeded"})");

  deliver(journal, "remove-1");
  deliver(journal, "ping-1");
  expected.erase(expected.begin(), expected.begin() + 2);
  EXPECT_EQ(journal.pending(), expected);
  EXPECT_EQ(RawDatabase(path).single("SELECT result FROM tasks WHERE id='ping-1'"), "{}");
}

TEST_F(JournalTest, ContainsAndFinish) {
  Journal journal(path);
  EXPECT_FALSE(journal.contains("task"));
  claim(journal, "task", "preflight", "ping");
  EXPECT_TRUE(journal.contains("task"));
  EXPECT_FALSE(journal.contains("Task"));

  journal.finish("never-claimed", {{"result", "succeeded"}});  // no row, no error
  EXPECT_FALSE(journal.contains("never-claimed"));

  for (const Json& bad : {Json::array({1}), Json("text"), Json(nullptr), Json{{"n", std::nan("")}}})
    expectInvalid([&] { journal.finish("task", bad); }, "Invalid JSON");
  EXPECT_EQ(RawDatabase(path).single("SELECT result FROM tasks WHERE id='task'"), "<null>");

  // A claimed id is refused a second time, whatever the caller intended.
  expectStorageError([&] { claim(journal, "task", "sending", "remove"); });
}

TEST_F(JournalTest, QuotaOutboxKeepsTheNewestReportPerAccount) {
  {
    Journal journal(path);
    EXPECT_EQ(journal.quotaReport("acct"), std::nullopt);
    journal.saveQuotaReport("acct", {{"version", 1}});
    journal.saveQuotaReport("acct", {{"version", 2}, {"url", "https://x/y"}});
    journal.saveQuotaReport("other", {{"version", 9}});
    expectInvalid([&] { journal.saveQuotaReport("acct", Json::array()); }, "Invalid JSON");
  }
  Journal journal(path);
  EXPECT_EQ(journal.quotaReport("acct"), (Json{{"version", 2}, {"url", "https://x/y"}}));
  RawDatabase raw(path);
  EXPECT_EQ(raw.single("SELECT count(*) FROM quota_outbox WHERE account_id='acct'"), "1");
  journal.execute("DELETE FROM quota_outbox WHERE account_id=?", {"acct"});
  EXPECT_EQ(journal.quotaReport("acct"), std::nullopt);
  EXPECT_EQ(journal.quotaReport("other"), (Json{{"version", 9}}));
}

TEST_F(JournalTest, DamagedStoredValuesAreErrorsNotGuesses) {
  { Journal journal(path); }
  struct Case {
    const char* plant;
    std::function<void(Journal&)> read;
    std::optional<std::string> invalidText;  // nothing: storage
  } cases[] = {
      {"INSERT INTO tasks(id,lease_id,result) VALUES ('t','l','not json')", [](Journal& j) { j.pending(); },
       "Invalid JSON"},
      {"INSERT INTO tasks(id,lease_id,result) VALUES ('t','l','[1]')", [](Journal& j) { j.pending(); },
       "Invalid JSON object"},
      {"INSERT INTO tasks(id,lease_id,result) VALUES ('t',X'6C','{}')", [](Journal& j) { j.pending(); }, {}},
      {"INSERT INTO quota_outbox VALUES ('a','{')", [](Journal& j) { j.quotaReport("a"); }, "Invalid JSON"},
      {"INSERT INTO quota_outbox VALUES ('a','7')", [](Journal& j) { j.quotaReport("a"); }, "Invalid JSON object"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.plant);
    RawDatabase raw(path);
    raw.exec("DELETE FROM tasks; DELETE FROM quota_outbox;");
    raw.exec(c.plant);
    Journal journal(path);
    if (c.invalidText)
      expectInvalid([&] { c.read(journal); }, *c.invalidText);
    else
      expectStorageError([&] { c.read(journal); });
  }
}

// Where agent.sqlite3 or its side files should be, something else was
// planted: opening refuses instead of following it or reading it as ours.
TEST_F(JournalTest, RefusesWhatIsNotItsOwnPrivateFile) {
  test::TemporaryDirectory elsewhere;
  fs::path victim = elsewhere / "victim.sqlite3";
  { Journal journal(victim); }
  auto victimSize = fs::file_size(victim);

  struct Case {
    const char* name;
    std::function<void()> plant;
  } cases[] = {
      {"link to a database", [&] { fs::create_symlink(victim, path); }},
      {"dangling link", [&] { fs::create_symlink(elsewhere / "absent", path); }},
      {"link at the write-ahead log", [&] { fs::create_symlink(elsewhere / "wal", fs::path(path) += "-wal"); }},
      {"directory", [&] { fs::create_directory(path); }},
      {"not a database", [&] { std::ofstream(path) << std::string(8192, 'x'); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (auto suffix : {"", "-wal", "-shm"}) fs::remove_all(fs::path(path) += suffix);
    c.plant();
    expectStorageError([&] { Journal journal(path); });
  }
  EXPECT_FALSE(fs::exists(elsewhere / "absent"));
  EXPECT_FALSE(fs::exists(elsewhere / "wal"));
  EXPECT_EQ(fs::file_size(victim), victimSize);
}

TEST_F(JournalTest, RefusesALinkedParentDirectory) {
  fs::create_directory(directory / "real");
  fs::create_directory_symlink(directory / "real", directory / "linked");
  expectStorageError([&] { Journal journal(directory / "linked" / "agent.sqlite3"); });
  EXPECT_FALSE(fs::exists(directory / "real" / "agent.sqlite3"));
}

TEST_F(JournalTest, FilesArePrivateWhateverTheUmask) {
  auto mode = [](const fs::path& file) {
    struct stat info {};
    EXPECT_EQ(stat(file.c_str(), &info), 0) << file;
    return info.st_mode & 0777;
  };
  mode_t previous = umask(022);
  {
    Journal journal(path);
    claim(journal, "task", "preflight", "ping");
    for (auto suffix : {"", "-wal", "-shm"}) EXPECT_EQ(mode(fs::path(path) += suffix), 0600u) << suffix;
    EXPECT_EQ(RawDatabase(path).single("PRAGMA journal_mode"), "wal");
  }
  // A database left readable by an older build is narrowed on open.
  chmod(path.c_str(), 0644);
  { Journal journal(path); }
  umask(previous);
  EXPECT_EQ(mode(path), 0600u);
}

// Failures release the lock, and the agent's threads can share one journal.
TEST_F(JournalTest, ThreadsShareOneJournalAndFailuresReleaseTheLock) {
  Journal journal(path);
  expectStorageError([&] { journal.execute("UPDATE nowhere SET x=1"); });
  expectStorageError([&] { journal.execute("SELECT ?", {"1", "2"}); });

  auto worker = [&](int thread) {
    for (int i = 0; i < 10; ++i) {
      std::string id = "t" + std::to_string(thread) + "-" + std::to_string(i);
      claim(journal, id, "preflight", "ping");
      journal.execute("UPDATE tasks SET stage='sending' WHERE id=? AND stage='preflight'", {id});
      journal.finish(id, {{"result", "succeeded"}});
      journal.execute("UPDATE health SET nonce=nonce+1 WHERE id=1");
      journal.pending();
    }
  };
  std::vector<std::future<void>> workers;
  for (int t = 0; t < 4; ++t) workers.push_back(std::async(std::launch::async, worker, t));
  for (auto& w : workers) {
    ASSERT_EQ(w.wait_for(120s), std::future_status::ready) << "a journal operation never returned";
    w.get();
  }
  EXPECT_EQ(journal.pending().size(), 40u);
  EXPECT_EQ(RawDatabase(path).single("SELECT nonce FROM health"), "40");
}

size_t openDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

TEST_F(JournalTest, ExecuteTakesOneStatementWithExactlyItsParameters) {
  size_t before = openDescriptors();
  {
    Journal journal(path);
    claim(journal, "t1", "preflight", "ping");
    struct Case {
      const char* sql;
      std::vector<std::string> parameters;
    };
    const Case refused[] = {
        // SQLite would run the first statement alone and ignore the second.
        {"UPDATE tasks SET stage='sending' WHERE id='t1'; DELETE FROM tasks", {}},
        {"UPDATE tasks SET stage=? WHERE id=?; SELECT 1", {"sending", "t1"}},
        // A missing parameter would be bound as NULL.
        {"UPDATE tasks SET result=? WHERE id=?", {"t1"}},
        {"UPDATE tasks SET result=? WHERE id='t1'", {}},
        {"UPDATE tasks SET stage='sending' WHERE id='t1'", {"extra"}},
    };
    for (const auto& c : refused) {
      SCOPED_TRACE(c.sql);
      expectStorageError([&] { journal.execute(c.sql, c.parameters); });
    }
    EXPECT_EQ(RawDatabase(path).rows("SELECT id,stage,result FROM tasks"),
              (std::vector<std::vector<std::string>>{{"t1", "preflight", "<null>"}}));
    // A trailing separator is still one statement.
    journal.execute("UPDATE tasks SET stage=? WHERE id=?;\n", {"sending", "t1"});
    EXPECT_EQ(RawDatabase(path).single("SELECT stage FROM tasks"), "sending");
  }
  // A refused statement is finalized too, so closing releases the database
  // and its -wal and -shm files.
  EXPECT_EQ(openDescriptors(), before);
}

TEST(JournalTimeParameter, IsPlainDecimalSeconds) {
  EXPECT_EQ(Journal::timeParameter(WallTime{}), "0");
  EXPECT_EQ(Journal::timeParameter(WallTime{} + 1733788800s + 250ms), "1733788800.25");
}

}  // namespace
}  // namespace corvane
