#include "platform/Clock.h"

#include <time.h>

namespace corvane::platform {

double continuousSeconds() {
  // CLOCK_BOOTTIME is CLOCK_MONOTONIC plus the time spent suspended.
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace corvane::platform
