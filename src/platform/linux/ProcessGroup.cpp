#include "platform/ProcessGroup.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/Clock.h"
#include "platform/linux/Waiting.h"

namespace corvane::platform {

namespace {

constexpr int faultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};

// Whether a process other than the caller runs in group, by the kernel's
// own table. Zombies have already ended. A table that cannot be read counts
// as someone still running, so a caller waits its full time rather than
// cutting a clean end short.
bool othersRunIn(pid_t group) {
  pid_t self = getpid();
  DIR* proc = opendir("/proc");
  if (!proc) return true;
  bool found = false;
  while (dirent* entry = readdir(proc)) {
    pid_t pid = 0;
    auto [end, error] = std::from_chars(entry->d_name, entry->d_name + std::strlen(entry->d_name), pid);
    if (error != std::errc() || *end != '\0' || pid == self) continue;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char stat[512];
    ssize_t size = read(fd, stat, sizeof stat - 1);
    close(fd);
    if (size <= 0) continue;
    stat[size] = '\0';
    // "pid (name) state ppid pgrp ..."; the name may hold anything but the
    // last ")" ends it.
    const char* nameEnd = std::strrchr(stat, ')');
    char state = 0;
    int parent = 0, member = 0;
    if (!nameEnd || std::sscanf(nameEnd + 1, " %c %d %d", &state, &parent, &member) != 3) continue;
    if (member == group && state != 'Z' && state != 'X') {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

void killGroupOnFault(int) { kill(0, SIGKILL); }

}  // namespace

void terminateProcessGroup(pid_t leader, double grace) {
  if (leader < 2) return;
  kill(-leader, SIGTERM);
  double end = continuousSeconds() + grace;
  while (continuousSeconds() < end && !detail::childHasExited(leader)) detail::pauseFor(0.02);
  kill(-leader, SIGKILL);
  while (waitpid(leader, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void askProcessGroupToEnd(pid_t group) {
  if (group >= 2) kill(-group, SIGTERM);
}

void killProcessGroup(pid_t group) {
  if (group >= 2) kill(-group, SIGKILL);
}

bool waitUntilOthersLeaveProcessGroup(pid_t group, double deadline) {
  while (othersRunIn(group)) {
    if (continuousSeconds() >= deadline) return false;
    detail::pauseFor(0.01);
  }
  return true;
}

void killOwnProcessGroupOnFault() {
  // Should the kill fail, SA_RESETHAND has put the default back and the
  // fault then ends the process alone.
  struct sigaction action {};
  action.sa_handler = killGroupOnFault;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal : faultSignals) sigaction(signal, &action, nullptr);
}

}  // namespace corvane::platform
