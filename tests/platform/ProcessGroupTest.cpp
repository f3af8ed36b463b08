#include "platform/ProcessGroup.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/ChildProcess.h"
#include "platform/Clock.h"
#include "support/ProcessGroups.h"
#include "support/TemporaryDirectory.h"

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;

bool waitForFile(const fs::path& path) {
  double end = continuousSeconds() + 20;
  while (!fs::exists(path)) {
    if (continuousSeconds() > end) return false;
    usleep(5000);
  }
  return true;
}

TEST(ProcessGroupTest, TerminatingAGroupKillsMembersThatSurviveTheirLeader) {
  // The leader dies of SIGTERM at once; a member that ignores it must still
  // be gone when the call returns.
  test::TemporaryDirectory directory;
  SpawnPlan plan;
  plan.program = "/bin/sh";
  plan.arguments = {"sh", "-c",
                    "(trap '' TERM; exec sleep 60) & echo $! > \"$1/member.part\"; mv \"$1/member.part\" "
                    "\"$1/member\"; wait",
                    "leader", directory.path().string()};
  plan.newProcessGroup = true;
  auto leader = ChildProcess::spawn(plan);
  ASSERT_TRUE(leader);
  pid_t group = leader->pid();
  test::recordProcessGroup(group);
  ASSERT_TRUE(waitForFile(directory / "member"));
  leader->terminate(20);
  EXPECT_TRUE(test::waitUntilGroupGone(group, 20));
}

// A forked stand-in leads a group the way a supervisor does: it starts a
// member in its own group, asks the group to end, waits for the others and
// kills the group, itself included. The member either honours SIGTERM or
// ignores it; the wait tells which, by the stand-in's exit status should
// the kill fail.
TEST(ProcessGroupTest, AskingWaitingAndKillingTheOwnGroup) {
  struct Case {
    const char* name;
    const char* member;
    bool othersLeave;
  };
  const Case cases[] = {
      {"a member that goes when asked", "exec sleep 60", true},
      {"a member that ignores the request", "trap '' TERM; while :; do sleep 0.1; done", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t leader = fork();
    ASSERT_GE(leader, 0);
    if (leader == 0) {
      close(report[0]);
      setpgid(0, 0);
      sigset_t term;
      sigemptyset(&term);
      sigaddset(&term, SIGTERM);
      sigprocmask(SIG_BLOCK, &term, nullptr);
      SpawnPlan plan;
      plan.program = "/bin/sh";
      plan.arguments = {"sh", "-c", c.member};
      auto member = ChildProcess::spawn(plan);
      if (!member) _exit(10);
      usleep(100000);  // lets the shell set its trap; a member not ready only makes the first case slower
      askProcessGroupToEnd(getpid());
      bool left = waitUntilOthersLeaveProcessGroup(getpid(), continuousSeconds() + 0.5);
      char answer = left ? 'y' : 'n';
      if (write(report[1], &answer, 1) != 1) _exit(11);
      killProcessGroup(getpid());
      _exit(12);
    }
    close(report[1]);
    test::recordProcessGroup(leader);
    char answer = '?';
    ASSERT_EQ(read(report[0], &answer, 1), 1);
    close(report[0]);
    EXPECT_EQ(answer, c.othersLeave ? 'y' : 'n');
    auto status = test::waitForChild(leader, 20);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL) << "wait status " << *status;
    EXPECT_TRUE(test::waitUntilGroupGone(leader, 20));
  }
}

}  // namespace
}  // namespace corvane::platform
