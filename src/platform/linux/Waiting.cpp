#include "platform/linux/Waiting.h"

#include <sys/wait.h>
#include <time.h>

#include <cerrno>

namespace corvane::platform::detail {

bool childHasExited(pid_t pid) {
  siginfo_t info{};
  while (true) {
    int result = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (result < 0 && errno == EINTR) continue;
    return result < 0 || info.si_pid == pid;
  }
}

void pauseFor(double seconds) {
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &end);
  auto nanoseconds = static_cast<long long>(seconds * 1e9) + end.tv_nsec;
  end.tv_sec += static_cast<time_t>(nanoseconds / 1000000000);
  end.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
  }
}

}  // namespace corvane::platform::detail
