// prepare-update and cancel-update through the built corvane-mac, the way the
// menu bar app runs them.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "executor/state/UpdatePreparation.h"
#include "executor/support/Json.h"
#include "executor/support/Uuid.h"
#include "support/RunResult.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

class UpdateCommandsTest : public ::testing::Test {
 protected:
  test::RunResult tool(const std::string& command) {
    return test::runProgram(CORVANE_TOOL_PATH, {"--data-dir", dataDirectory.string(), command});
  }

  test::TemporaryDirectory home;
  fs::path dataDirectory = home / "Executor";
  UpdatePreparation preparation{dataDirectory};
};

std::string preparedID(const test::RunResult& run) {
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  auto output = parseJSON(run.out);
  EXPECT_TRUE(output && output->is_object() && output->size() == 1) << run.out;
  if (!output || !output->contains("id") || !(*output)["id"].is_string()) return "";
  std::string id = (*output)["id"];
  EXPECT_EQ(run.out, "{\n  \"id\": \"" + id + "\"\n}\n");
  return id;
}

TEST_F(UpdateCommandsTest, SecondPrepareReplacesTheFirstAndCancelWithdrawsIt) {
  std::string first = preparedID(tool("prepare-update"));
  std::string second = preparedID(tool("prepare-update"));
  ASSERT_TRUE(isUUID(first) && isUUID(second)) << first << " " << second;
  EXPECT_NE(first, second);
  EXPECT_EQ(preparation.activeID(currentWallTime()), second);

  struct stat info {};
  ASSERT_EQ(stat(dataDirectory.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(preparation.file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  auto cancelled = tool("cancel-update");
  EXPECT_EQ(cancelled.status, 0) << cancelled.err;
  EXPECT_EQ(cancelled.out, "{\n  \"cancelled\": true\n}\n");
  EXPECT_FALSE(fs::exists(preparation.file()));
  EXPECT_EQ(preparation.activeID(currentWallTime()), std::nullopt);
}

TEST_F(UpdateCommandsTest, CancelWithNothingToCancelSucceeds) {
  auto run = tool("cancel-update");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "{\n  \"cancelled\": true\n}\n");
  EXPECT_EQ(run.err, "");
}

TEST_F(UpdateCommandsTest, FailureToWriteTheRequestIsTheCommandsFailure) {
  fs::create_directories(preparation.file());  // a directory where the request goes
  auto run = tool("prepare-update");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Corvane: Local secure storage is unavailable\n");
}

}  // namespace
}  // namespace corvane
