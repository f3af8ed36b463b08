#include "platform/SignalWatch.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <utility>

namespace corvane::platform {

namespace {

// A signal set in the kernel's own layout. Unlike sigset_t through the C
// library it can name the two signals the library keeps for its threads (32
// and 33), whose default action ends a process too.
using KernelSignalSet = uint64_t;
static_assert(NSIG - 1 <= 64, "every signal fits in one word");

KernelSignalSet signalBit(int signal) { return KernelSignalSet{1} << (signal - 1); }

bool isFault(int signal) {
  for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS})
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

KernelSignalSet watchedSignals() {
  KernelSignalSet set = signalBit(SIGCHLD);
  for (int signal = 1; signal < NSIG; ++signal)
    if (signal != SIGKILL && endsByDefault(signal) && !isFault(signal)) set |= signalBit(signal);
  return set;
}

bool setSignalMask(int how, const KernelSignalSet& set, KernelSignalSet* previous) {
  return syscall(SYS_rt_sigprocmask, how, &set, previous, sizeof set) == 0;
}

}  // namespace

std::optional<SignalWatch> SignalWatch::start() {
  KernelSignalSet watched = watchedSignals();
  KernelSignalSet previous = 0;
  if (!setSignalMask(SIG_BLOCK, watched, &previous)) return std::nullopt;
  int descriptor = static_cast<int>(syscall(SYS_signalfd4, -1, &watched, sizeof watched, SFD_CLOEXEC | SFD_NONBLOCK));
  if (descriptor < 0) {
    setSignalMask(SIG_SETMASK, previous, nullptr);
    return std::nullopt;
  }
  return SignalWatch(descriptor, previous);
}

SignalWatch::SignalWatch(int descriptor, uint64_t previousMask)
    : descriptor_(descriptor), previousMask_(previousMask) {}

SignalWatch::SignalWatch(SignalWatch&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), previousMask_(other.previousMask_) {}

SignalWatch::~SignalWatch() {
  if (descriptor_ < 0) return;
  close(descriptor_);
  setSignalMask(SIG_SETMASK, previousMask_, nullptr);
}

SignalWatch::Event SignalWatch::wait(double seconds) {
  pollfd event{descriptor_, POLLIN, 0};
  int milliseconds = std::max(0, static_cast<int>(std::ceil(seconds * 1000)));
  if (poll(&event, 1, milliseconds) <= 0) return Event::none;
  Event result = Event::none;
  signalfd_siginfo info{};
  while (read(descriptor_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo != SIGCHLD)
      result = Event::termination;
    else if (result == Event::none)
      result = Event::childChanged;
  }
  return result;
}

}  // namespace corvane::platform
