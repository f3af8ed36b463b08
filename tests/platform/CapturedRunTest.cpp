#include "platform/CapturedRun.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

namespace corvane::platform {
namespace {

CapturedRunPlan shell(const std::string& script) {
  CapturedRunPlan plan;
  plan.program = "/bin/sh";
  plan.arguments = {"-c", script};
  plan.environment = {{"PATH", "/usr/bin:/bin"}};
  return plan;
}

TEST(CapturedRunTest, AChildThatExitsWithoutReadingItsInputDoesNotEndTheCaller) {
  CapturedRunPlan plan = shell("exit 0");
  plan.input = std::string(1 << 20, 'x');  // more than a pipe holds
  CapturedRunResult result = runCaptured(plan);
  EXPECT_EQ(result.outcome, CapturedRunResult::Outcome::finished);
  EXPECT_TRUE(result.exitedWithZero());
}

TEST(CapturedRunTest, OutputIsKeptUpToTheCapAndTheRestDrained) {
  CapturedRunPlan plan = shell("head -c 70000 /dev/zero; head -c 5 /dev/zero >&2; read line; printf %s \"$line\" >&2");
  plan.input = "typed\n";
  CapturedRunResult result = runCaptured(plan);
  EXPECT_TRUE(result.exitedWithZero());
  EXPECT_EQ(result.output, std::string(65536, '\0'));
  EXPECT_EQ(result.errorOutput, std::string(5, '\0') + "typed");
}

TEST(CapturedRunTest, AChildIgnoringTerminationIsKilledAfterItsTime) {
  CapturedRunPlan plan = shell("trap '' TERM; echo started; exec sleep 600");
  plan.timeout = 0.5;
  plan.killGrace = 0.2;
  CapturedRunResult result = runCaptured(plan);
  EXPECT_EQ(result.outcome, CapturedRunResult::Outcome::timedOut);
  EXPECT_EQ(result.output, "started\n");
}

TEST(CapturedRunTest, AProgramThatCannotStartIsReported) {
  CapturedRunPlan plan;
  plan.program = "/nonexistent/program";
  EXPECT_EQ(runCaptured(plan).outcome, CapturedRunResult::Outcome::notStarted);
  CapturedRunResult failed = runCaptured(shell("exit 3"));
  EXPECT_EQ(failed.outcome, CapturedRunResult::Outcome::finished);
  EXPECT_FALSE(failed.exitedWithZero());
  EXPECT_EQ(WEXITSTATUS(failed.waitStatus), 3);
}

}  // namespace
}  // namespace corvane::platform
