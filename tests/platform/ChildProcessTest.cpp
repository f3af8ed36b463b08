#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "support/ProcessGroups.h"
#include "support/TemporaryDirectory.h"

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;
using Descriptors = std::array<ChildDescriptor, 4>;

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t count;
  while ((count = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(count));
  close(fd);
  return text;
}

std::string readFile(const fs::path& path) {
  std::ifstream file(path);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// What the child's standard output carried until it ended; its exit status
// must be 0.
std::string outputOf(SpawnPlan plan) {
  plan.descriptors[1] = ChildDescriptor::pipeFromChild();
  auto child = ChildProcess::spawn(plan);
  if (!child) {
    ADD_FAILURE() << "not started: " << std::strerror(errno);
    return "";
  }
  std::string output = readAll(child->takePipe(1));
  auto status = child->wait(continuousSeconds() + 20);
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  return output;
}

std::vector<int> openDescriptors() {
  std::vector<int> descriptors;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd"))
    descriptors.push_back(std::stoi(entry.path().filename()));
  std::sort(descriptors.begin(), descriptors.end());
  return descriptors;
}

class ChildProcessTest : public ::testing::Test {
 protected:
  fs::path file(const std::string& name) const { return directory_ / name; }
  test::TemporaryDirectory directory_;
};

// Run for both ways of starting a child: posix_spawn, and the fork that a
// parent-death signal needs, which must give the child just the same start.
class ChildProcessSpawnTest : public ChildProcessTest, public ::testing::WithParamInterface<bool> {
 protected:
  SpawnPlan newPlan() const {
    SpawnPlan plan;
    plan.diesWithParent = GetParam();
    return plan;
  }
};

INSTANTIATE_TEST_SUITE_P(Starts, ChildProcessSpawnTest, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "DiesWithParent" : "Spawned"; });

// Each case runs in a forked stand-in parent whose own descriptors 0 to 3
// the case lays out first, so that sources may cross the targets. The child
// lists its descriptors and where they lead; a descriptor the stand-in
// leaks without close-on-exec must not be among them.
TEST_P(ChildProcessSpawnTest, GivesTheChildExactlyTheDescriptorsOfItsPlan) {
  const std::string a = file("a").string(), b = file("b").string();
  std::ofstream(a).put('a');
  std::ofstream(b).put('b');
  struct Case {
    std::string name;
    std::function<void()> layout;  // in the stand-in parent, before the spawn
    Descriptors descriptors;
    std::map<int, std::string> expected;  // "pipe" for any pipe
  };
  auto place = [](const std::string& path, int target, bool closeOnExec) {
    int fd = open(path.c_str(), O_RDONLY);
    dup2(fd, target);
    close(fd);
    fcntl(target, F_SETFD, closeOnExec ? FD_CLOEXEC : 0);
  };
  const std::vector<Case> cases = {
      {"copies, pipes and the null device",
       [&] { place(a, 20, false); },
       {ChildDescriptor::copyOf(20), ChildDescriptor::pipeFromChild(), ChildDescriptor::nullDevice(),
        ChildDescriptor::pipeToChild()},
       {{0, a}, {1, "pipe"}, {2, "/dev/null"}, {3, "pipe"}}},
      {"sources that are targets themselves",
       [&] {
         place(a, 0, false);
         place(b, 1, true);
       },
       {ChildDescriptor::copyOf(1), ChildDescriptor::copyOf(0), ChildDescriptor::closed(), ChildDescriptor::copyOf(1)},
       {{0, b}, {1, a}, {3, b}}},
      {"inherited when open, close-on-exec or not",
       [&] {
         place(a, 0, false);
         close(2);
         place(b, 3, true);
       },
       {ChildDescriptor::inherited(), ChildDescriptor::closed(), ChildDescriptor::inherited(),
        ChildDescriptor::inherited()},
       {{0, a}, {3, b}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path report = file("fds-" + std::to_string(&c - cases.data()));
    pid_t parent = fork();
    ASSERT_GE(parent, 0);
    if (parent == 0) {
      int leaked = open("/dev/null", O_RDONLY);
      if (leaked < 0 || fcntl(leaked, F_DUPFD, 30) < 0) _exit(10);
      c.layout();
      // The shell lists its descriptors with built-ins only, so that it has
      // none of its own open while it looks, and writes the list at the end.
      SpawnPlan plan = newPlan();
      plan.program = "/bin/sh";
      plan.arguments = {"sh", "-c",
                        "r=; for n in $(seq 0 63); do if [ -e /proc/$$/fd/$n ]; then "
                        "r=\"$r$n $(readlink /proc/$$/fd/$n)\\n\"; fi; done; printf '%b' \"$r\" > \"$1\"",
                        "sh", report.string()};
      plan.descriptors = c.descriptors;
      auto child = ChildProcess::spawn(plan);
      if (!child) _exit(11);
      auto status = child->wait(continuousSeconds() + 20);
      _exit(status && WIFEXITED(*status) ? WEXITSTATUS(*status) : 12);
    }
    auto status = test::waitForChild(parent, 30);
    ASSERT_TRUE(status && WIFEXITED(*status)) << "the stand-in parent did not finish";
    ASSERT_EQ(WEXITSTATUS(*status), 0);
    std::map<int, std::string> found;
    std::istringstream lines(readFile(report));
    std::string line;
    while (std::getline(lines, line)) {
      auto space = line.find(' ');
      std::string target = line.substr(space + 1);
      found[std::stoi(line.substr(0, space))] = target.rfind("pipe:", 0) == 0 ? "pipe" : target;
    }
    EXPECT_EQ(found, c.expected);
  }
}

TEST_P(ChildProcessSpawnTest, StartsWithExactlyItsEnvironmentDirectoryGroupAndSignals) {
  SpawnPlan environment = newPlan();
  environment.program = "/usr/bin/env";
  environment.arguments = {"env"};
  environment.environment = std::map<std::string, std::string>{{"A", "1"}, {"B", "two words=x"}};
  EXPECT_EQ(outputOf(environment), "A=1\nB=two words=x\n");

  SpawnPlan directory = newPlan();
  directory.program = "/bin/pwd";
  directory.arguments = {"pwd", "-P"};
  directory.directory = directory_.path();
  EXPECT_EQ(outputOf(directory), fs::canonical(directory_.path()).string() + "\n");

  // Whatever the parent blocks or ignores, the child starts with nothing
  // blocked and with the default action for the termination signals.
  sigset_t blocked, previousMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);
  auto previousPipe = signal(SIGPIPE, SIG_IGN);
  auto previousInterrupt = signal(SIGINT, SIG_IGN);
  SpawnPlan status = newPlan();
  status.program = "/bin/cat";
  status.arguments = {"cat", "/proc/self/status"};
  std::string text = outputOf(status);
  signal(SIGINT, previousInterrupt);
  signal(SIGPIPE, previousPipe);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  auto mask = [&](const std::string& name) {
    auto start = text.find("\n" + name + ":\t");
    return start == std::string::npos ? ~0ull : std::stoull(text.substr(start + name.size() + 3, 16), nullptr, 16);
  };
  auto bit = [](int signal) { return 1ull << (signal - 1); };
  EXPECT_EQ(mask("SigBlk"), 0u) << text;
  EXPECT_EQ(mask("SigIgn") & (bit(SIGTERM) | bit(SIGINT) | bit(SIGPIPE) | bit(SIGCHLD)), 0u) << text;

  SpawnPlan group = newPlan();
  group.program = "/bin/sleep";
  group.arguments = {"sleep", "30"};
  group.newProcessGroup = true;
  auto leader = ChildProcess::spawn(group);
  ASSERT_TRUE(leader);
  test::recordProcessGroup(leader->pid());
  EXPECT_EQ(getpgid(leader->pid()), leader->pid());
  group.newProcessGroup = false;
  auto member = ChildProcess::spawn(group);
  ASSERT_TRUE(member);
  EXPECT_EQ(getpgid(member->pid()), getpgrp());
}

TEST_P(ChildProcessSpawnTest, WhatCannotStartLeavesNothingBehind) {
  struct Case {
    std::string name;
    std::string program;
    ChildDescriptor descriptor3;
    int error;
  };
  const std::vector<Case> cases = {
      {"no such program", "/nonexistent/program", ChildDescriptor::pipeFromChild(), ENOENT},
      {"a negative descriptor", "/bin/true", ChildDescriptor::copyOf(-1), EBADF},
      {"a closed descriptor", "/bin/true", ChildDescriptor::copyOf(999), EBADF},
  };
  auto before = openDescriptors();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SpawnPlan plan = newPlan();
    plan.program = c.program;
    plan.arguments = {c.program};
    plan.descriptors = {ChildDescriptor::pipeToChild(), ChildDescriptor::pipeFromChild(), ChildDescriptor::nullDevice(),
                        c.descriptor3};
    errno = 0;
    EXPECT_FALSE(ChildProcess::spawn(plan));
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(openDescriptors(), before);
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child was left to reap";
    EXPECT_EQ(errno, ECHILD);
  }
}

TEST_F(ChildProcessTest, WaitsUntilADeadlineAndEndsAChildThatWillNotGo) {
  SpawnPlan exiting;
  exiting.program = "/bin/sh";
  exiting.arguments = {"sh", "-c", "exit 3"};
  auto quick = ChildProcess::spawn(exiting);
  ASSERT_TRUE(quick);
  auto status = quick->wait(continuousSeconds() + 20);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 3);
  EXPECT_FALSE(quick->wait(continuousSeconds() + 20)) << "reaped once only";

  // Ignores SIGTERM, so only the SIGKILL after the grace ends it.
  SpawnPlan stubborn;
  stubborn.program = "/bin/sh";
  stubborn.arguments = {"sh", "-c", "trap '' TERM; : > \"$1\"; while :; do sleep 0.1; done", "sh",
                        file("started").string()};
  auto child = ChildProcess::spawn(stubborn);
  ASSERT_TRUE(child);
  pid_t pid = child->pid();
  double end = continuousSeconds() + 20;
  while (!fs::exists(file("started")) && continuousSeconds() < end) usleep(5000);
  EXPECT_FALSE(child->wait(continuousSeconds() + 0.05));
  EXPECT_FALSE(child->hasExited());
  child->terminate(0.2);
  EXPECT_EQ(child->pid(), -1);
  errno = 0;
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1) << "not reaped";
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(ChildProcessTest, AChildLeftRunningEndsWithItsOwnerGroupAndAll) {
  pid_t group = -1;
  {
    SpawnPlan plan;
    plan.program = "/bin/sh";
    plan.arguments = {"sh", "-c", "(trap '' TERM; exec sleep 30) & : > \"$1\"; wait", "sh", file("started").string()};
    plan.newProcessGroup = true;
    auto child = ChildProcess::spawn(plan);
    ASSERT_TRUE(child);
    group = child->pid();
    test::recordProcessGroup(group);
    double end = continuousSeconds() + 20;
    while (!fs::exists(file("started")) && continuousSeconds() < end) usleep(5000);
    ASSERT_EQ(test::livingMembers(group).size(), 2u);
  }
  EXPECT_TRUE(test::waitUntilGroupGone(group, 20));
}

// A stand-in parent starts a child in a group of its own and is then killed
// outright, with no chance to end the child itself.
TEST_F(ChildProcessTest, AChildThatDiesWithItsParentEndsWhenTheParentIsKilled) {
  for (bool diesWithParent : {true, false}) {
    SCOPED_TRACE(diesWithParent ? "dies with its parent" : "outlives it");
    int report[2];
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    pid_t parent = fork();
    ASSERT_GE(parent, 0);
    if (parent == 0) {
      SpawnPlan plan;
      plan.program = "/bin/sleep";
      plan.arguments = {"sleep", "60"};
      plan.newProcessGroup = true;
      plan.diesWithParent = diesWithParent;
      auto child = ChildProcess::spawn(plan);
      pid_t pid = child ? child->pid() : -1;
      if (write(report[1], &pid, sizeof pid) != static_cast<ssize_t>(sizeof pid)) _exit(1);
      while (true) pause();
    }
    close(report[1]);
    pid_t child = -1;
    ASSERT_EQ(read(report[0], &child, sizeof child), static_cast<ssize_t>(sizeof child));
    close(report[0]);
    ASSERT_GT(child, 0);
    test::recordProcessGroup(child);
    kill(parent, SIGKILL);
    ASSERT_TRUE(test::waitForChild(parent, 20));
    if (diesWithParent) {
      EXPECT_TRUE(test::waitUntilGroupGone(child, 20));
    } else {
      EXPECT_FALSE(test::livingMembers(child).empty());
      kill(-child, SIGKILL);
      EXPECT_TRUE(test::waitUntilGroupGone(child, 20));
    }
  }
}

}  // namespace
}  // namespace corvane::platform
