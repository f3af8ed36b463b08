#include "executor/codex/CodexSupervisor.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "platform/ChildProcess.h"
#include "platform/Clock.h"
#include "platform/ProcessGroup.h"
#include "platform/SignalWatch.h"
#include "platform/SystemInfo.h"

namespace corvane {

namespace {

constexpr double maximumLifetime = 3600;
constexpr double watchInterval = 0.05;
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

[[noreturn]] void endGroup(pid_t group) {
  // The supervisor has SIGTERM blocked, so the first signal reaches only the
  // rest of the group. The pause lets the runtime end cleanly; once nothing
  // else of the group runs there is nothing left to wait for. SIGKILL then
  // ends everyone, the supervisor included.
  platform::askProcessGroupToEnd(group);
  platform::waitUntilOthersLeaveProcessGroup(group, platform::continuousSeconds() + killPause);
  platform::killProcessGroup(group);
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
  auto signals = platform::SignalWatch::start();
  if (!signals) return 2;
  platform::killOwnProcessGroupOnFault();

  platform::SpawnPlan plan;
  plan.program = runtime;
  plan.arguments.assign(arguments.begin() + 2, arguments.end());
  // SIGKILL is the one end the supervisor cannot turn into the end of its
  // group. Should it come to the supervisor and the executor both, nobody
  // would be left to end the runtime; the kernel does it then.
  plan.diesWithParent = true;
  auto child = platform::ChildProcess::spawn(plan);
  if (!child) return 2;
  // From here on only the runtime talks to the executor. Without the
  // supervisor's own copies of the pipes, the runtime closing its output, or
  // the executor closing its input, reaches the other side at once.
  if (int devNull = open("/dev/null", O_RDWR | O_CLOEXEC); devNull >= 0) {
    dup2(devNull, 0);
    dup2(devNull, 1);
    close(devNull);
  }

  // The runtime is never reaped here: it stays a zombie until the group
  // ends, which keeps the group's identifier from being reused.
  while (true) {
    if (getppid() != *parent) break;
    now = platform::continuousSeconds();
    if (now >= *deadline) break;
    if (child->hasExited()) break;
    double wait = std::min(watchInterval, *deadline - now);
    if (signals->wait(wait) == platform::SignalWatch::Event::termination) break;
  }
  endGroup(getpid());
}

std::optional<std::filesystem::path> runningExecutableURL() { return platform::runningImage(); }

}  // namespace corvane
