#include "executor/codex/ProcessSpawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace corvane {

namespace {

// The file actions and attributes of one spawn, released on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : temporaries) close(fd);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  std::vector<int> temporaries;
};

bool isOpen(int fd) { return fcntl(fd, F_GETFD) >= 0; }

}  // namespace

std::optional<pid_t> spawnProcess(const SpawnPlan& plan) {
  SpawnSetup setup;
  int failed = 0;
  auto check = [&](int result) {
    if (result != 0 && failed == 0) failed = result;
  };

  // The duplications run one after another in the child, so a source below 4
  // could be overwritten by an earlier one before it is used. Such sources
  // are first copied above 3; the copies are closed again after the spawn.
  std::array<int, 4> sources{-1, -1, -1, -1};
  for (int target = 0; target < 4; ++target) {
    if (plan.descriptors[target]) {
      int source = *plan.descriptors[target];
      if (source < 0) {
        errno = EBADF;
        return std::nullopt;
      }
      if (source < 4 && source != target) {
        int copy = fcntl(source, F_DUPFD_CLOEXEC, 4);
        if (copy < 0) return std::nullopt;
        setup.temporaries.push_back(copy);
        source = copy;
      }
      sources[target] = source;
    } else if (isOpen(target)) {
      sources[target] = target;
    }
  }
  // A duplication onto itself clears close-on-exec, so a kept descriptor is
  // inherited even when the parent marked it.
  for (int target = 0; target < 4; ++target)
    if (sources[target] >= 0) check(posix_spawn_file_actions_adddup2(&setup.actions, sources[target], target));
  check(posix_spawn_file_actions_addclosefrom_np(&setup.actions, 4));
  if (plan.directory) check(posix_spawn_file_actions_addchdir_np(&setup.actions, plan.directory->c_str()));

  sigset_t mask;
  sigemptyset(&mask);
  check(posix_spawnattr_setsigmask(&setup.attributes, &mask));
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGCHLD);
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

  std::vector<std::string> argumentStrings = plan.arguments;
  std::vector<char*> argv;
  for (auto& argument : argumentStrings) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> environmentStrings;
  std::vector<char*> envp;
  if (plan.environment) {
    for (const auto& [name, value] : *plan.environment) environmentStrings.push_back(name + "=" + value);
    for (auto& entry : environmentStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);
  }

  pid_t pid = 0;
  int spawned = posix_spawn(&pid, plan.program.c_str(), &setup.actions, &setup.attributes, argv.data(),
                            plan.environment ? envp.data() : environ);
  if (spawned != 0) {
    errno = spawned;
    return std::nullopt;
  }
  return pid;
}

}  // namespace corvane
