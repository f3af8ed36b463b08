#include "reliability/AgentProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/ProcessGroups.h"

namespace corvane::test {

namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::stringstream text;
  text << stream.rdbuf();
  return text.str();
}

}  // namespace

AgentProcess::AgentProcess(const std::vector<std::string>& arguments, const fs::path& logs, Limits limits) {
  static int runs = 0;
  ++runs;
  out_ = logs / ("out" + std::to_string(runs));
  err_ = logs / ("err" + std::to_string(runs));
  std::vector<std::string> strings = {CORVANE_TOOL_PATH};
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (limits.fileSize) {
      ::signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {*limits.fileSize, *limits.fileSize};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  setpgid(pid_, pid_);
  group_ = pid_;
  recordProcessGroup(group_);
}

AgentProcess::~AgentProcess() {
  if (pid_ > 0) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (group_ > 0) {
    kill(-group_, SIGKILL);
    waitUntilGroupGone(group_, 30);
  }
}

void AgentProcess::signal(int number) const {
  if (pid_ > 0) kill(pid_, number);
}

std::optional<int> AgentProcess::wait(double seconds) {
  if (pid_ <= 0) return std::nullopt;
  auto status = waitForChild(pid_, seconds);
  if (!status) return std::nullopt;
  pid_ = -1;
  return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

void AgentProcess::crash() {
  signal(SIGKILL);
  wait();
}

std::string AgentProcess::out() const { return contents(out_); }
std::string AgentProcess::err() const { return contents(err_); }

bool eventually(const std::function<bool()>& condition, double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

bool executorLockFree(const fs::path& directory) {
  int fd = open((directory / "executor.lock").c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return free;
}

}  // namespace corvane::test
