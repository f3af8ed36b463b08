#include "executor/codex/CodexSupervisor.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/ChildProcess.h"
#include "platform/Clock.h"
#include "platform/ProcessGroup.h"
#include "support/ProcessGroups.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using platform::continuousSeconds;

std::string decimal(double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string readFile(const fs::path& path) {
  std::ifstream file(path);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The file appears once the runtime script has renamed it into place.
bool waitForFile(const fs::path& path, double timeoutSeconds = 20) {
  double end = continuousSeconds() + timeoutSeconds;
  while (!fs::exists(path)) {
    if (continuousSeconds() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// How the test starts the supervisor in place of the executor. The defaults
// are the layout the executor uses; each flag breaks one precondition.
struct Launch {
  std::vector<std::string> arguments;  // after "--internal-codex-supervisor"
  bool guard = true;                   // descriptor 3 open
  bool ownGroup = true;                // the supervisor leads its own group
  int leakedDescriptor = -1;           // inherited without close-on-exec
  std::vector<std::string> environment = {"PATH=/usr/bin:/bin"};
};

// posix_spawn by hand rather than platform::ChildProcess, so that the tests can hand
// the supervisor what the executor never would.
pid_t startSupervisor(const Launch& launch) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  if (launch.guard)
    posix_spawn_file_actions_addopen(&actions, 3, "/dev/null", O_RDONLY, 0);
  else
    posix_spawn_file_actions_addclose(&actions, 3);
  if (launch.leakedDescriptor < 0) posix_spawn_file_actions_addclosefrom_np(&actions, 4);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (launch.ownGroup) {
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  }
  std::vector<std::string> strings = {CORVANE_TOOL_PATH, "--internal-codex-supervisor"};
  strings.insert(strings.end(), launch.arguments.begin(), launch.arguments.end());
  std::vector<char*> argv;
  for (auto& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = launch.environment;
  std::vector<char*> envp;
  for (auto& s : environment) envp.push_back(s.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  int result = posix_spawn(&pid, CORVANE_TOOL_PATH, &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return result == 0 ? pid : -1;
}

class CodexSupervisorTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (pid_t pid : running_) platform::terminateProcessGroup(pid, 0);
  }

  // Starts the supervisor over "/bin/sh -c script", the script seeing the
  // temporary directory as $1.
  pid_t start(const std::string& script, double deadline, Launch launch = {}) {
    if (launch.arguments.empty())
      launch.arguments = {std::to_string(getpid()),  decimal(deadline), "/bin/sh", "-c", script, "runtime",
                          directory_.path().string()};
    pid_t pid = startSupervisor(launch);
    EXPECT_GT(pid, 0);
    if (pid > 0) {
      running_.insert(pid);
      if (launch.ownGroup) test::recordProcessGroup(pid);
    }
    return pid;
  }

  std::optional<int> waitFor(pid_t pid, double timeoutSeconds = 20) {
    auto status = test::waitForChild(pid, timeoutSeconds);
    if (status) running_.erase(pid);
    return status;
  }

  void terminate(pid_t pid, double grace) {
    platform::terminateProcessGroup(pid, grace);
    running_.erase(pid);
  }

  fs::path file(const std::string& name) const { return directory_ / name; }

  test::TemporaryDirectory directory_;
  std::set<pid_t> running_;
};

// Each refusal must come before the runtime starts: the runtime would leave
// a file behind, and a started supervisor ends by its own SIGKILL, not by
// exit status 2.
TEST_F(CodexSupervisorTest, RefusesBadStartsWithStatusTwoBeforeStartingAnything) {
  struct Case {
    const char* name;
    std::function<Launch(const std::string& marker)> launch;
  };
  const std::string parent = std::to_string(getpid());
  auto soon = [] { return decimal(continuousSeconds() + 30); };
  auto with = [&](std::string pid, std::string deadline, std::string runtime, const std::string& marker) {
    return Launch{{std::move(pid), std::move(deadline), std::move(runtime), "-c", ": > '" + marker + "'"}};
  };
  std::vector<Case> cases = {
      {"two arguments",
       [&](auto&) {
         return Launch{{parent, soon()}};
       }},
      {"parent 1", [&](auto& m) { return with("1", soon(), "/bin/sh", m); }},
      {"parent 0", [&](auto& m) { return with("0", soon(), "/bin/sh", m); }},
      {"parent not a number", [&](auto& m) { return with(parent + "x", soon(), "/bin/sh", m); }},
      {"parent beyond 32 bits", [&](auto& m) { return with("4294967297", soon(), "/bin/sh", m); }},
      {"not the real parent", [&](auto& m) { return with(std::to_string(getppid()), soon(), "/bin/sh", m); }},
      {"deadline in the past", [&](auto& m) { return with(parent, decimal(continuousSeconds() - 1), "/bin/sh", m); }},
      {"deadline 3601 seconds ahead",
       [&](auto& m) { return with(parent, decimal(continuousSeconds() + 3601), "/bin/sh", m); }},
      {"deadline not finite", [&](auto& m) { return with(parent, "inf", "/bin/sh", m); }},
      {"deadline with leading space", [&](auto& m) { return with(parent, " " + soon(), "/bin/sh", m); }},
      {"deadline with trailing text", [&](auto& m) { return with(parent, soon() + "s", "/bin/sh", m); }},
      {"relative runtime path", [&](auto& m) { return with(parent, soon(), "bin/sh", m); }},
      {"runtime that does not exist", [&](auto& m) { return with(parent, soon(), "/nonexistent/codex", m); }},
      {"descriptor 3 closed",
       [&](auto& m) {
         auto launch = with(parent, soon(), "/bin/sh", m);
         launch.guard = false;
         return launch;
       }},
      {"not its group's leader",
       [&](auto& m) {
         auto launch = with(parent, soon(), "/bin/sh", m);
         launch.ownGroup = false;
         return launch;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string marker = file(std::string("started-") + c.name).string();
    pid_t pid = start("", 0, c.launch(marker));
    auto status = waitFor(pid);
    ASSERT_TRUE(status) << "the supervisor kept running";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2) << "wait status " << *status;
    EXPECT_FALSE(fs::exists(marker));
  }
}

TEST_F(CodexSupervisorTest, StartsTheRuntimeInItsGroupWithItsArgumentsAndEnvironment) {
  Launch launch;
  launch.arguments = {"+" + std::to_string(getpid()),
                      decimal(continuousSeconds() + 60),
                      "/bin/sh",
                      "-c",
                      "echo $$ > \"$1/pid.part\" && mv \"$1/pid.part\" \"$1/pid\"; while :; do sleep 0.2; done",
                      "runtime",
                      directory_.path().string()};
  launch.environment = {"PATH=/usr/bin:/bin", "CORVANE_MARK=a b=c"};
  pid_t supervisor = start("", 0, launch);
  ASSERT_TRUE(waitForFile(file("pid")));
  std::string runtime = readFile(file("pid"));
  runtime.pop_back();
  std::string expectedArguments = "/bin/sh";
  for (size_t i = 3; i < launch.arguments.size(); ++i) expectedArguments += '\0' + launch.arguments[i];
  EXPECT_EQ(readFile("/proc/" + runtime + "/cmdline"), expectedArguments + '\0');
  EXPECT_EQ(readFile("/proc/" + runtime + "/environ"), std::string("PATH=/usr/bin:/bin\0CORVANE_MARK=a b=c\0", 38));
  auto members = test::livingMembers(supervisor);
  auto entry = std::find_if(members.begin(), members.end(),
                            [&](const auto& process) { return std::to_string(process.pid) == runtime; });
  ASSERT_NE(entry, members.end()) << "the runtime is not in the supervisor's group";
  EXPECT_EQ(entry->parent, supervisor);
  terminate(supervisor, 5);
  EXPECT_TRUE(test::waitUntilGroupGone(supervisor, 20));
}

TEST_F(CodexSupervisorTest, HandsTheRuntimeExactlyDescriptorsZeroToThree) {
  // The test opens a descriptor without close-on-exec and lets the
  // supervisor inherit it; the supervisor's own signal descriptor is open
  // too when the runtime starts.
  int leaked = fcntl(open("/dev/null", O_RDONLY | O_CLOEXEC), F_DUPFD, 20);
  ASSERT_GE(leaked, 20);
  Launch launch;
  launch.leakedDescriptor = leaked;
  launch.arguments = {std::to_string(getpid()),
                      decimal(continuousSeconds() + 60),
                      "/bin/sh",
                      "-c",
                      "n=0; while [ $n -lt 64 ]; do if [ -e /proc/$$/fd/$n ]; then echo $n >> \"$1/fds.part\"; fi; "
                      "n=$((n+1)); done; mv \"$1/fds.part\" \"$1/fds\"; exec sleep 30",
                      "runtime",
                      directory_.path().string()};
  pid_t supervisor = start("", 0, launch);
  close(leaked);
  ASSERT_TRUE(waitForFile(file("fds")));
  EXPECT_EQ(readFile(file("fds")), "0\n1\n2\n3\n");
  std::string supervisorDescriptors;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(supervisor) + "/fd"))
    supervisorDescriptors += entry.path().filename().string() + " ";
  EXPECT_NE(supervisorDescriptors.find(std::to_string(leaked)), std::string::npos)
      << "the supervisor itself should still hold the leaked descriptor: " << supervisorDescriptors;
  terminate(supervisor, 5);
}

TEST_F(CodexSupervisorTest, KillsARuntimeThatOutlivesItsDeadlineAfterTheTermPause) {
  // The runtime ignores SIGTERM but notes it, so only the final SIGKILL can
  // end it, and that comes 0.5 seconds after the deadline.
  const char* script =
      "trap 'echo term >> \"$1/signals\"' TERM; : > \"$1/started\"; while :; do sleep 0.2 & wait $!; done";
  double deadline = continuousSeconds() + 1.5;
  pid_t supervisor = start(script, deadline);
  ASSERT_TRUE(waitForFile(file("started")));
  ASSERT_TRUE(test::waitUntilGroupGone(supervisor, 20));
  double gone = continuousSeconds();
  EXPECT_GE(gone, deadline + 0.45);
  EXPECT_EQ(readFile(file("signals")).substr(0, 5), "term\n");
  auto status = waitFor(supervisor);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL) << "wait status " << *status;
}

TEST_F(CodexSupervisorTest, EndsOnceTheRuntimeExitsLongBeforeTheDeadline) {
  pid_t supervisor = start(": > \"$1/started\"; exit 0", continuousSeconds() + 600);
  auto status = waitFor(supervisor, 30);
  ASSERT_TRUE(status) << "the supervisor waited for its deadline";
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL) << "wait status " << *status;
  EXPECT_TRUE(fs::exists(file("started")));
  EXPECT_TRUE(test::waitUntilGroupGone(supervisor, 20));
}

TEST_F(CodexSupervisorTest, ATerminationSignalToTheSupervisorEndsTheGroup) {
  // Every signal whose default action would end the supervisor, sent to the
  // supervisor alone as a person, a closing terminal or a stray kill would:
  // it must take the runtime with it. 32 and 33 are the C library's own.
  const int signals[] = {SIGTERM,  SIGINT,    SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,   SIGPIPE, SIGALRM, SIGXCPU,
                         SIGXFSZ,  SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSTKFLT, 32,      33,      SIGRTMIN,
                         SIGRTMAX, SIGABRT,   SIGSEGV, SIGBUS,  SIGILL,  SIGFPE,    SIGTRAP, SIGSYS};
  for (int signal : signals) {
    SCOPED_TRACE(std::to_string(signal) + " " + strsignal(signal));
    fs::remove(file("started"));
    pid_t supervisor = start(": > \"$1/started\"; while :; do sleep 0.2; done", continuousSeconds() + 600);
    ASSERT_TRUE(waitForFile(file("started")));
    kill(supervisor, signal);
    auto status = waitFor(supervisor);
    ASSERT_TRUE(status);
    // Killed by its own final SIGKILL, not by the signal sent.
    bool endedTheGroup = WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL;
    EXPECT_TRUE(endedTheGroup) << "wait status " << *status;
    // The group outlives its reaped leader only while the runtime runs, so
    // its identifier cannot have been reused.
    if (!endedTheGroup) kill(-supervisor, SIGKILL);
    EXPECT_TRUE(test::waitUntilGroupGone(supervisor, 20));
  }
}

TEST_F(CodexSupervisorTest, KillsTheGroupWhenTheExecutorIsKilled) {
  // A forked child stands in for the executor: it starts the supervisor,
  // reports its identifier and waits to be killed.
  int report[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  std::string directory = directory_.path().string();
  double deadline = continuousSeconds() + 600;
  pid_t executor = fork();
  ASSERT_GE(executor, 0);
  if (executor == 0) {
    Launch launch;
    launch.arguments = {std::to_string(getpid()),
                        decimal(deadline),
                        "/bin/sh",
                        "-c",
                        "trap '' TERM; : > \"$1/started\"; while :; do sleep 0.2; done",
                        "runtime",
                        directory};
    pid_t supervisor = startSupervisor(launch);
    if (write(report[1], &supervisor, sizeof supervisor) != sizeof supervisor) _exit(1);
    while (true) pause();
  }
  close(report[1]);
  pid_t supervisor = -1;
  ASSERT_EQ(read(report[0], &supervisor, sizeof supervisor), static_cast<ssize_t>(sizeof supervisor));
  close(report[0]);
  ASSERT_GT(supervisor, 0);
  test::recordProcessGroup(supervisor);
  ASSERT_TRUE(waitForFile(file("started")));
  ASSERT_FALSE(test::livingMembers(supervisor).empty());

  kill(executor, SIGKILL);
  ASSERT_TRUE(test::waitForChild(executor, 20));
  double killed = continuousSeconds();
  EXPECT_TRUE(test::waitUntilGroupGone(supervisor, 20));
  // Informational only; the timing is measured, not asserted.
  std::printf("group gone %.3f s after the executor was killed\n", continuousSeconds() - killed);
}

TEST_F(CodexSupervisorTest, ARuntimeDoesNotOutliveTheExecutorAndTheSupervisorKilledTogether) {
  // Nobody is left to end the group: the runtime, which ignores SIGTERM and
  // would run for ten minutes, must die with its supervisor.
  int report[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  std::string directory = directory_.path().string();
  double deadline = continuousSeconds() + 600;
  pid_t executor = fork();
  ASSERT_GE(executor, 0);
  if (executor == 0) {
    Launch launch;
    launch.arguments = {std::to_string(getpid()),
                        decimal(deadline),
                        "/bin/sh",
                        "-c",
                        "trap '' TERM; echo $$ > \"$1/runtime.part\"; mv \"$1/runtime.part\" \"$1/runtime\"; "
                        "while :; do sleep 0.2; done",
                        "runtime",
                        directory};
    pid_t supervisor = startSupervisor(launch);
    if (write(report[1], &supervisor, sizeof supervisor) != sizeof supervisor) _exit(1);
    while (true) pause();
  }
  close(report[1]);
  pid_t supervisor = -1;
  ASSERT_EQ(read(report[0], &supervisor, sizeof supervisor), static_cast<ssize_t>(sizeof supervisor));
  close(report[0]);
  ASSERT_GT(supervisor, 0);
  test::recordProcessGroup(supervisor);
  ASSERT_TRUE(waitForFile(file("runtime")));

  kill(supervisor, SIGKILL);
  kill(executor, SIGKILL);
  ASSERT_TRUE(test::waitForChild(executor, 20));
  EXPECT_TRUE(test::waitUntilGroupGone(supervisor, 20));
}

TEST_F(CodexSupervisorTest, TerminateProcessGroupEndsASupervisedRuntimeAndReapsTheSupervisor) {
  pid_t supervisor = start("trap '' TERM; : > \"$1/started\"; while :; do sleep 0.2; done", continuousSeconds() + 600);
  ASSERT_TRUE(waitForFile(file("started")));
  terminate(supervisor, 2);
  EXPECT_TRUE(test::waitUntilGroupGone(supervisor, 20));
  errno = 0;
  EXPECT_EQ(waitpid(supervisor, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(CodexSupervisorTest, AnExecutorWhoseFileWasReplacedStillStartsItsSupervisor) {
  // A copy of a small executor, replaced on disk while it runs the way a
  // package upgrade does it: a new file renamed over the old one. The new
  // file could not serve as a supervisor at all.
  fs::create_directories(file("bin"));
  fs::create_directories(file("home"));
  const fs::path executable = file("bin/corvane-mac");
  fs::copy_file(SUPERVISOR_UPGRADE_CHILD, executable);
  fs::permissions(executable, fs::perms::owner_all);
  platform::SpawnPlan plan;
  plan.program = executable;
  plan.arguments = {executable.string(), FAKE_CODEX_PATH, file("home").string()};
  plan.descriptors = {platform::ChildDescriptor::pipeToChild(), platform::ChildDescriptor::pipeFromChild(),
                      platform::ChildDescriptor::inherited(), platform::ChildDescriptor::inherited()};
  auto child = platform::ChildProcess::spawn(plan);
  ASSERT_TRUE(child);
  int input = child->takePipe(0);
  FILE* fromChild = fdopen(child->takePipe(1), "r");
  auto nextLine = [&] {
    char line[256];
    return std::fgets(line, sizeof line, fromChild) ? std::string(line) : std::string("(end of output)");
  };
  EXPECT_EQ(nextLine(), "ready\n");

  const fs::path replacement = file("bin/corvane-mac.new");
  std::ofstream(replacement) << "#!/bin/sh\nexit 3\n";
  fs::permissions(replacement, fs::perms::owner_all);
  fs::rename(replacement, executable);
  std::error_code error;
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(child->pid()) + "/exe", error),
            executable.string() + " (deleted)")
      << "the replacement did not take the running file's place";

  ASSERT_EQ(write(input, "go\n", 3), 3);
  close(input);
  std::string group = nextLine();
  ASSERT_EQ(group.rfind("group ", 0), 0u) << group;
  test::recordProcessGroup(std::stoi(group.substr(6)));
  EXPECT_EQ(nextLine(), "initialized\n");
  std::fclose(fromChild);
  auto status = child->wait(continuousSeconds() + 60);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
}

}  // namespace
}  // namespace corvane
