#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <utility>

#include "platform/Clock.h"
#include "platform/ProcessGroup.h"
#include "platform/linux/Waiting.h"

extern char** environ;

namespace corvane::platform {

namespace {

using Kind = ChildDescriptor::Kind;

void closeAll(std::vector<int>& descriptors) {
  for (int fd : descriptors)
    if (fd >= 0) close(fd);
  descriptors.clear();
}

bool isOpen(int fd) { return fcntl(fd, F_GETFD) >= 0; }

// What the child's descriptors 0 to 3 become, resolved in the parent: the
// pipes made and the sources the child duplicates. Everything the parent
// opened for the child alone is closed with it; the parent's pipe ends only
// when the spawn failed and they were never handed out.
class DescriptorSetup {
 public:
  DescriptorSetup() = default;
  DescriptorSetup(const DescriptorSetup&) = delete;
  DescriptorSetup& operator=(const DescriptorSetup&) = delete;
  ~DescriptorSetup() {
    closeAll(childOnly);
    for (int& fd : parentEnds)
      if (fd >= 0) close(std::exchange(fd, -1));
  }

  // False with errno set when a descriptor cannot be had.
  bool resolve(const std::array<ChildDescriptor, 4>& plan) {
    // Inherited descriptors first: a pipe made below could take the number
    // of one the parent does not have open.
    for (int target = 0; target < 4; ++target)
      if (plan[target].kind == Kind::inherited && isOpen(target)) sources[target] = target;
    for (int target = 0; target < 4; ++target) {
      const ChildDescriptor& descriptor = plan[target];
      switch (descriptor.kind) {
        case Kind::inherited:
        case Kind::closed:
        case Kind::nullDevice:
          break;
        case Kind::copy:
          if (descriptor.fd < 0) {
            errno = EBADF;
            return false;
          }
          if (!setSource(target, descriptor.fd, false)) return false;
          break;
        case Kind::pipeToChild:
        case Kind::pipeFromChild: {
          int ends[2];
          if (pipe2(ends, O_CLOEXEC) != 0) return false;
          bool childReads = descriptor.kind == Kind::pipeToChild;
          parentEnds[target] = childReads ? ends[1] : ends[0];
          int childEnd = childReads ? ends[0] : ends[1];
          childOnly.push_back(childEnd);
          if (!setSource(target, childEnd, true)) return false;
          break;
        }
      }
    }
    return true;
  }

  std::array<int, 4> sources{-1, -1, -1, -1};  // what the child duplicates onto each target
  std::array<int, 4> parentEnds{-1, -1, -1, -1};
  std::vector<int> childOnly;

 private:
  // The duplications run one after another in the child, so a source below
  // 4 could be overwritten by an earlier one before it is used. Such sources
  // are first copied above 3; the copies are closed again after the spawn.
  bool setSource(int target, int source, bool ownedAlready) {
    if (source < 4 && source != target) {
      int copy = fcntl(source, F_DUPFD_CLOEXEC, 4);
      if (copy < 0) return false;
      childOnly.push_back(copy);
      if (ownedAlready) {
        close(source);
        std::erase(childOnly, source);
      }
      source = copy;
    }
    sources[target] = source;
    return true;
  }
};

// The file actions and attributes of one spawn, released on every path.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnAttributes() {
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
};

// Argument and environment vectors in the form execve takes.
class Vectors {
 public:
  explicit Vectors(const SpawnPlan& plan) : arguments_(plan.arguments) {
    for (auto& argument : arguments_) argv_.push_back(argument.data());
    argv_.push_back(nullptr);
    if (plan.environment) {
      for (const auto& [name, value] : *plan.environment) environment_.push_back(name + "=" + value);
      for (auto& entry : environment_) envp_.push_back(entry.data());
      envp_.push_back(nullptr);
    }
    ownEnvironment_ = !plan.environment;
  }
  char* const* argv() { return argv_.data(); }
  char* const* envp() { return ownEnvironment_ ? environ : envp_.data(); }

 private:
  std::vector<std::string> arguments_;
  std::vector<char*> argv_;
  std::vector<std::string> environment_;
  std::vector<char*> envp_;
  bool ownEnvironment_;
};

// Moves fd above 3, out of the way of the child's duplications.
int aboveThree(int fd) {
  if (fd >= 4) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 4);
  close(fd);
  return moved;
}

// posix_spawn has no way to set a parent-death signal, which the child must
// ask for itself between fork and exec; this path does the same work as the
// file actions and attributes of the other by hand. Between fork and exec
// the child makes only async-signal-safe calls.
std::optional<pid_t> forkWithDeathSignal(const SpawnPlan& plan, const DescriptorSetup& descriptors, Vectors& vectors) {
  // Exec failures come back through this pipe; a successful exec closes it.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return std::nullopt;
  report[0] = aboveThree(report[0]);
  report[1] = aboveThree(report[1]);
  if (report[0] < 0 || report[1] < 0) {
    int error = errno;
    if (report[0] >= 0) close(report[0]);
    if (report[1] >= 0) close(report[1]);
    errno = error;
    return std::nullopt;
  }
  const pid_t parent = getpid();
  const char* program = plan.program.c_str();
  const char* directory = plan.directory ? plan.directory->c_str() : nullptr;
  char* const* argv = vectors.argv();
  char* const* envp = vectors.envp();

  // No handler of the parent may run in the child before its actions are
  // reset, so every signal stays blocked across the fork. The mask is set
  // in the kernel's own form: the C library's would leave out, and on the
  // way back unblock, the two signals it keeps for itself, which a caller
  // (the Codex supervisor) may have blocked on purpose.
  const uint64_t all = ~uint64_t{0};
  uint64_t previous = 0;
  if (syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &previous, sizeof all) != 0) {
    int error = errno;
    close(report[0]);
    close(report[1]);
    errno = error;
    return std::nullopt;
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(report[0]);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    // The parent's handlers, and the four actions the child must start with.
    for (int signal = 1; signal < NSIG; ++signal) {
      struct sigaction current {};
      if (sigaction(signal, nullptr, &current) != 0) continue;
      bool handled =
          (current.sa_flags & SA_SIGINFO) != 0 || (current.sa_handler != SIG_IGN && current.sa_handler != SIG_DFL);
      if (handled || signal == SIGTERM || signal == SIGINT || signal == SIGPIPE || signal == SIGCHLD)
        sigaction(signal, &defaultAction, nullptr);
    }
    bool ok = !plan.newProcessGroup || setpgid(0, 0) == 0;
    ok = ok && prctl(PR_SET_PDEATHSIG, SIGKILL) == 0;
    // A parent gone before the request took effect would never send it.
    if (ok && getppid() != parent) _exit(127);
    for (int target = 0; ok && target < 4; ++target) {
      int source = descriptors.sources[target];
      if (source == target) {
        ok = fcntl(target, F_SETFD, 0) == 0;
      } else if (source >= 0) {
        ok = dup2(source, target) == target;
      } else if (plan.descriptors[target].kind == Kind::nullDevice) {
        int null = open("/dev/null", O_RDWR);
        ok = null >= 0 && (null == target || (dup2(null, target) == target && close(null) == 0));
      } else {
        close(target);
      }
    }
    if (ok && report[1] > 4) close_range(4, static_cast<unsigned>(report[1]) - 1, 0);
    if (ok) close_range(static_cast<unsigned>(report[1]) + 1, ~0U, 0);
    ok = ok && (!directory || chdir(directory) == 0);
    if (ok) {
      const uint64_t none = 0;
      syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
      execve(program, argv, envp);
    }
    int error = errno;
    if (write(report[1], &error, sizeof error) < 0) {
    }
    _exit(127);
  }
  int forkError = errno;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &previous, nullptr, sizeof previous);
  close(report[1]);
  if (pid < 0) {
    close(report[0]);
    errno = forkError;
    return std::nullopt;
  }
  int error = 0;
  ssize_t count;
  while ((count = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (count == static_cast<ssize_t>(sizeof error)) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    errno = error;
    return std::nullopt;
  }
  return pid;
}

}  // namespace

std::optional<ChildProcess> ChildProcess::spawn(const SpawnPlan& plan) {
  DescriptorSetup descriptors;
  if (!descriptors.resolve(plan.descriptors)) return std::nullopt;
  if (plan.diesWithParent) {
    Vectors vectors(plan);
    auto pid = forkWithDeathSignal(plan, descriptors, vectors);
    if (!pid) return std::nullopt;
    return ChildProcess(*pid, plan.newProcessGroup, std::exchange(descriptors.parentEnds, {-1, -1, -1, -1}));
  }

  SpawnAttributes setup;
  int failed = 0;
  auto check = [&](int result) {
    if (result != 0 && failed == 0) failed = result;
  };
  for (int target = 0; target < 4; ++target) {
    // A duplication onto itself clears close-on-exec, so a kept descriptor
    // is inherited even when the parent marked it.
    if (descriptors.sources[target] >= 0)
      check(posix_spawn_file_actions_adddup2(&setup.actions, descriptors.sources[target], target));
    else if (plan.descriptors[target].kind == Kind::nullDevice)
      check(posix_spawn_file_actions_addopen(&setup.actions, target, "/dev/null", O_RDWR, 0));
    else
      check(posix_spawn_file_actions_addclose(&setup.actions, target));
  }
  check(posix_spawn_file_actions_addclosefrom_np(&setup.actions, 4));
  if (plan.directory) check(posix_spawn_file_actions_addchdir_np(&setup.actions, plan.directory->c_str()));

  sigset_t mask;
  sigemptyset(&mask);
  check(posix_spawnattr_setsigmask(&setup.attributes, &mask));
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGTERM, SIGINT, SIGPIPE, SIGCHLD}) sigaddset(&defaults, signal);
  check(posix_spawnattr_setsigdefault(&setup.attributes, &defaults));
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (plan.newProcessGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    check(posix_spawnattr_setpgroup(&setup.attributes, 0));
  }
  check(posix_spawnattr_setflags(&setup.attributes, flags));
  if (failed != 0) {
    errno = failed;
    return std::nullopt;
  }

  Vectors vectors(plan);
  pid_t pid = 0;
  int spawned =
      posix_spawn(&pid, plan.program.c_str(), &setup.actions, &setup.attributes, vectors.argv(), vectors.envp());
  if (spawned != 0) {
    errno = spawned;
    return std::nullopt;
  }
  return ChildProcess(pid, plan.newProcessGroup, std::exchange(descriptors.parentEnds, {-1, -1, -1, -1}));
}

ChildProcess::ChildProcess(pid_t pid, bool leadsGroup, std::array<int, 4> pipes)
    : pid_(pid), leadsGroup_(leadsGroup), pipes_(pipes) {}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      leadsGroup_(other.leadsGroup_),
      pipes_(std::exchange(other.pipes_, {-1, -1, -1, -1})) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    release();
    pid_ = std::exchange(other.pid_, -1);
    leadsGroup_ = other.leadsGroup_;
    pipes_ = std::exchange(other.pipes_, {-1, -1, -1, -1});
  }
  return *this;
}

ChildProcess::~ChildProcess() { release(); }

void ChildProcess::release() noexcept {
  for (int& fd : pipes_)
    if (fd >= 0) close(std::exchange(fd, -1));
  if (pid_ > 0) terminate(0);
}

int ChildProcess::takePipe(int descriptor) {
  if (descriptor < 0 || descriptor > 3) return -1;
  return std::exchange(pipes_[descriptor], -1);
}

bool ChildProcess::hasExited() const { return pid_ <= 0 || detail::childHasExited(pid_); }

std::optional<int> ChildProcess::wait(double deadline) {
  if (pid_ <= 0) return std::nullopt;
  // A pidfd wakes the wait the moment the child ends; without one (an old
  // kernel) the wait looks every 5 milliseconds.
  int handle = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  std::optional<int> status;
  while (true) {
    int result = 0;
    pid_t reaped = waitpid(pid_, &result, WNOHANG);
    if (reaped == pid_) {
      status = result;
      pid_ = -1;
      break;
    }
    if (reaped < 0 && errno != EINTR) {
      // Not ours to wait for any more: nothing to report.
      pid_ = -1;
      break;
    }
    double remaining = deadline - continuousSeconds();
    if (remaining <= 0) break;
    double step = std::min(remaining, handle >= 0 ? 0.5 : 0.005);
    if (handle >= 0) {
      pollfd event{handle, POLLIN, 0};
      poll(&event, 1, static_cast<int>(std::ceil(step * 1000)));
    } else {
      detail::pauseFor(step);
    }
  }
  if (handle >= 0) close(handle);
  return status;
}

void ChildProcess::terminate(double grace) {
  if (pid_ <= 0) return;
  if (leadsGroup_) {
    terminateProcessGroup(pid_, grace);
  } else {
    // The child stays unreaped until the end, so its identifier cannot have
    // passed to another process when SIGKILL follows.
    kill(pid_, SIGTERM);
    double end = continuousSeconds() + grace;
    while (continuousSeconds() < end && !detail::childHasExited(pid_)) detail::pauseFor(0.02);
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
}

}  // namespace corvane::platform
