#include "executor/codex/CodexSupervisor.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "executor/codex/ProcessSpawn.h"
#include "platform/Clock.h"

namespace corvane {

namespace {

constexpr double maximumLifetime = 3600;
constexpr int watchIntervalMilliseconds = 50;
constexpr double killPause = 0.5;

// A decimal 32-bit integer with an optional sign, nothing else.
std::optional<int32_t> parseProcessID(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty() || text.front() == '-') return std::nullopt;
  }
  int32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// A finite decimal number, written by the executor in its shortest form.
// from_chars is locale-independent and takes no leading white space.
std::optional<double> parseDeadline(std::string_view text) {
  double value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (error != std::errc() || end != text.data() + text.size() || text.empty() || !std::isfinite(value))
    return std::nullopt;
  return value;
}

bool hasExited(pid_t pid) {
  siginfo_t info{};
  while (true) {
    int result = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (result < 0 && errno == EINTR) continue;
    // An error means there is no such child left to wait for.
    return result < 0 || info.si_pid == pid;
  }
}

void sleepFor(double seconds) {
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &end);
  auto nanoseconds = static_cast<long long>(seconds * 1e9) + end.tv_nsec;
  end.tv_sec += static_cast<time_t>(nanoseconds / 1000000000);
  end.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
  }
}

// A signal set in the kernel's own layout. Unlike sigset_t through the C
// library it can name the two signals the library keeps for its threads (32
// and 33), whose default action ends a process too; the supervisor has no
// threads and never uses them.
using KernelSignalSet = uint64_t;
static_assert(NSIG - 1 <= 64, "every signal fits in one word");

KernelSignalSet signalBit(int signal) { return KernelSignalSet{1} << (signal - 1); }

// Signals the supervisor may run into itself (a fault, abort()). The kernel
// delivers a fault even while it is blocked, so these are caught instead.
constexpr int faultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};

bool isFaultSignal(int signal) {
  for (int fault : faultSignals)
    if (fault == signal) return true;
  return false;
}

// Whether a signal's default action ends the process; the others are
// ignored or stop it.
bool endsByDefault(int signal) {
  switch (signal) {
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH:
    case SIGCONT:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
      return false;
    default:
      return true;
  }
}

// What the watch takes from its signal descriptor: every signal that would
// end the supervisor without its group (SIGKILL aside, which nothing can
// catch), and SIGCHLD, which tells that the runtime exited.
KernelSignalSet watchedSignals() {
  KernelSignalSet set = signalBit(SIGCHLD);
  for (int signal = 1; signal < NSIG; ++signal)
    if (signal != SIGKILL && endsByDefault(signal) && !isFaultSignal(signal)) set |= signalBit(signal);
  return set;
}

bool setSignalMask(int how, const KernelSignalSet& set, KernelSignalSet* previous) {
  return syscall(SYS_rt_sigprocmask, how, &set, previous, sizeof set) == 0;
}

int signalDescriptor(const KernelSignalSet& set) {
  return static_cast<int>(syscall(SYS_signalfd4, -1, &set, sizeof set, SFD_CLOEXEC | SFD_NONBLOCK));
}

// A fault in the supervisor leaves nothing to trust: the group, the
// supervisor with it, is killed at once. Should that fail, the handler is
// gone and the signal's default ends the supervisor.
void killGroupOnFault(int) { kill(0, SIGKILL); }

void catchFaults() {
  struct sigaction action {};
  action.sa_handler = killGroupOnFault;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal : faultSignals) sigaction(signal, &action, nullptr);
}

// Drains the signal descriptor; true when anything but SIGCHLD was among it.
bool terminationRequested(int signals) {
  bool requested = false;
  signalfd_siginfo info{};
  while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
    if (info.ssi_signo != SIGCHLD) requested = true;
  return requested;
}

// Whether a process other than the supervisor still runs in its group.
// Zombies have already ended; the supervisor never reaps its runtime, so
// that one stays a zombie until the supervisor is gone.
bool othersRunInGroup() {
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
    int parent = 0, group = 0;
    if (!nameEnd || std::sscanf(nameEnd + 1, " %c %d %d", &state, &parent, &group) != 3) continue;
    if (group == self && state != 'Z' && state != 'X') {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

[[noreturn]] void endGroup() {
  // The supervisor has SIGTERM blocked, so the first signal reaches only the
  // rest of the group. The pause lets the runtime end cleanly; once nothing
  // else of the group runs there is nothing left to wait for. SIGKILL then
  // ends everyone, the supervisor included.
  kill(0, SIGTERM);
  double end = platform::continuousSeconds() + killPause;
  while (platform::continuousSeconds() < end && othersRunInGroup()) sleepFor(0.01);
  kill(0, SIGKILL);
  std::_Exit(2);
}

}  // namespace

int runCodexSupervisor(const std::vector<std::string>& arguments) {
  if (arguments.size() < 3) return 2;
  auto parent = parseProcessID(arguments[0]);
  if (!parent || *parent <= 1) return 2;
  auto deadline = parseDeadline(arguments[1]);
  if (!deadline) return 2;
  double now = platform::continuousSeconds();
  if (!(*deadline > now && *deadline - now <= maximumLifetime)) return 2;
  if (getppid() != *parent) return 2;
  if (getpgrp() != getpid()) return 2;
  if (fcntl(3, F_GETFD) < 0) return 2;
  const std::string& runtime = arguments[2];
  if (runtime.empty() || runtime.front() != '/') return 2;

  // Termination signals and the runtime's exit arrive on one descriptor, so
  // the watch below wakes at once for them and every 50 ms for the parent and
  // the deadline, which have no event of their own. A stray SIGHUP or SIGUSR1
  // must end the group like SIGTERM: left to its default it would end the
  // supervisor alone and leave the runtime running.
  KernelSignalSet watched = watchedSignals();
  KernelSignalSet previous = 0;
  if (!setSignalMask(SIG_BLOCK, watched, &previous)) return 2;
  int signals = signalDescriptor(watched);
  if (signals < 0) {
    setSignalMask(SIG_SETMASK, previous, nullptr);
    return 2;
  }
  catchFaults();

  SpawnPlan plan;
  plan.program = runtime;
  plan.arguments.assign(arguments.begin() + 2, arguments.end());
  auto child = spawnProcess(plan);
  if (!child) {
    close(signals);
    setSignalMask(SIG_SETMASK, previous, nullptr);
    return 2;
  }
  // From here on only the runtime talks to the executor. Without the
  // supervisor's own copies of the pipes, the runtime closing its output, or
  // the executor closing its input, reaches the other side at once.
  if (int devNull = open("/dev/null", O_RDWR | O_CLOEXEC); devNull >= 0) {
    dup2(devNull, 0);
    dup2(devNull, 1);
    close(devNull);
  }

  while (true) {
    if (getppid() != *parent) break;
    now = platform::continuousSeconds();
    if (now >= *deadline) break;
    if (hasExited(*child)) break;
    int wait = std::min(watchIntervalMilliseconds, static_cast<int>(std::ceil((*deadline - now) * 1000)));
    pollfd event{signals, POLLIN, 0};
    if (poll(&event, 1, std::max(wait, 1)) > 0 && terminationRequested(signals)) break;
  }
  endGroup();
}

void terminateProcessGroup(pid_t pid, double grace) {
  // kill() with 0 or -1 would reach the caller's own group or every process.
  if (pid < 2) return;
  kill(-pid, SIGTERM);
  double end = platform::continuousSeconds() + grace;
  while (platform::continuousSeconds() < end && !hasExited(pid)) sleepFor(0.02);
  // The unreaped leader keeps the group identifier from being reused, so this
  // cannot reach a stranger.
  kill(-pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::optional<std::filesystem::path> runningExecutableURL() {
  // Not the path the executable was started from: a package upgrade while
  // the agent runs replaces that file, the kernel then reports the old path
  // with " (deleted)" appended, and a fresh look-up would find another
  // build or nothing. The kernel's own link reaches the running image for
  // as long as the process lives.
  const std::filesystem::path image = "/proc/self/exe";
  if (access(image.c_str(), X_OK) != 0) return std::nullopt;
  return image;
}

}  // namespace corvane
