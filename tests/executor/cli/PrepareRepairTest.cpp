#include "executor/cli/PrepareRepair.h"

#include <gtest/gtest.h>

#include <fstream>

#include "executor/state/DirectoryLock.h"
#include "executor/state/Journal.h"
#include "executor/support/CVError.h"
#include "support/ErrorOf.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

const std::string notRevoked = "The old device is not disabled or credential cleanup is unconfirmed";

class PrepareRepairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(directory / "coordinator.json") << R"({"deviceId": "d", "url": "https://c.example"})";
    std::ofstream(directory / "agent-health.json") << "{}";
  }

  // Runs prepareRepair with a coordinator answering answer; the error, if any.
  std::optional<CVError> repair(const Json& answer = {{"revoked", true}, {"cleanupPending", false}}) {
    return test::errorOf([&] {
      prepareRepair(
          directory.path(),
          [&] {
            ++heartbeats;
            return answer;
          },
          [&] { ++retirements; });
    });
  }

  test::TemporaryDirectory directory;
  int heartbeats = 0;
  int retirements = 0;
};

TEST_F(PrepareRepairTest, RetiresAConfirmedPairing) {
  EXPECT_EQ(repair(), std::nullopt);
  EXPECT_EQ(retirements, 1);
  EXPECT_FALSE(fs::exists(directory / "agent-health.json"));
  EXPECT_TRUE(fs::exists(directory / "agent.sqlite3")) << "the journal stays";
}

TEST_F(PrepareRepairTest, OnlyAnExplicitRevocationWithCleanupDoneIsEnough) {
  const Json answers[] = {
      {{"revoked", true}},
      {{"revoked", true}, {"cleanupPending", true}},
      {{"revoked", true}, {"cleanupPending", nullptr}},
      {{"revoked", "true"}, {"cleanupPending", false}},
      {{"revoked", false}, {"cleanupPending", false}},
      Json::object(),
  };
  for (const auto& answer : answers) {
    EXPECT_EQ(repair(answer), CVError::invalid(notRevoked)) << answer.dump();
    EXPECT_EQ(retirements, 0);
  }
}

TEST_F(PrepareRepairTest, ARunningExecutorIsRefusedBeforeAnyRequest) {
  DirectoryLock agent(directory.path());
  ASSERT_TRUE(agent.tryLock());
  EXPECT_EQ(repair(), CVError::invalid("Stop the background service first"));
  EXPECT_EQ(heartbeats, 0);
}

TEST_F(PrepareRepairTest, LeftoverCredentialFoldersAreRefused) {
  fs::create_directory(directory / "codex");
  EXPECT_EQ(repair(), std::nullopt) << "an empty folder holds no credentials";

  fs::create_directory(directory / "codex/acct-1");
  EXPECT_EQ(repair(), CVError::invalid("Local credential folders still need cleanup"));
  fs::remove(directory / "codex/acct-1");
  fs::remove(directory / "codex");

  fs::create_directory(directory / "elsewhere");
  fs::create_directory_symlink(directory / "elsewhere", directory / "codex");
  EXPECT_EQ(repair(), CVError::invalid("Local credential folders still need cleanup"));
  EXPECT_EQ(retirements, 1);
}

TEST_F(PrepareRepairTest, APairingRecordThatIsNotAFileIsStorage) {
  fs::remove(directory / "coordinator.json");
  EXPECT_EQ(repair(), CVError::storage());
  std::ofstream(directory / "real.json") << "{}";
  fs::create_symlink(directory / "real.json", directory / "coordinator.json");
  EXPECT_EQ(repair(), CVError::storage());
  EXPECT_EQ(retirements, 0);
}

TEST_F(PrepareRepairTest, AnInterruptedTaskMustBeReportedFirst) {
  {
    Journal journal(directory / "agent.sqlite3");
    journal.execute("INSERT INTO tasks(id,lease_id,stage,action) VALUES (?,?,?,?)",
                    {"task-1", "lease-1", "claimed", "read"});
  }
  EXPECT_EQ(repair(), CVError::invalid("Execution results are still waiting to be reported"));
  EXPECT_EQ(retirements, 0);
  EXPECT_TRUE(fs::exists(directory / "agent-health.json"));
}

}  // namespace
}  // namespace corvane
