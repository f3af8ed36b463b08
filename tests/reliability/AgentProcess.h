#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvane::test {

// One run of the built tool that goes on until it is stopped, in a process
// group of its own (its supervisors and runtimes below it), with standard
// input on /dev/null and both output streams in files under logs. The
// destructor kills what is left of the group.
class AgentProcess {
 public:
  struct Limits {
    // RLIMIT_FSIZE of the child, with SIGXFSZ ignored, so that a write past
    // it fails with EFBIG as on a full disk instead of killing the process.
    std::optional<size_t> fileSize;
  };

  AgentProcess(const std::vector<std::string>& arguments, const std::filesystem::path& logs, Limits limits = {});
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int number) const;
  // Its exit status (128 + signal when killed); nothing while it runs on
  // after seconds.
  std::optional<int> wait(double seconds = 60);
  // kill -9 of the executor alone, as a crash would end it; the runtimes
  // below it go on until they notice.
  void crash();
  std::string out() const;
  std::string err() const;

 private:
  pid_t pid_ = -1;
  pid_t group_ = 0;
  std::filesystem::path out_;
  std::filesystem::path err_;
};

// Polls condition every 20 ms until it holds; false after seconds. Not a
// timing check: the bound only keeps a broken build from hanging the run.
bool eventually(const std::function<bool()>& condition, double seconds = 60);

// Whether directory/executor.lock is free, as a restarted executor needs it.
bool executorLockFree(const std::filesystem::path& directory);

}  // namespace corvane::test
