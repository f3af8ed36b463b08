#include "platform/Clock.h"

#include <time.h>

namespace corvane::platform {

namespace {

class SystemClock final : public Clock {
 public:
  double continuousSeconds() const override {
    // CLOCK_BOOTTIME is CLOCK_MONOTONIC plus the time spent suspended.
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  }

  WallTime wallTime() const override {
    return std::chrono::time_point_cast<WallTime::duration>(std::chrono::system_clock::now());
  }
};

}  // namespace

const Clock& systemClock() {
  static const SystemClock clock;
  return clock;
}

double continuousSeconds() { return systemClock().continuousSeconds(); }

}  // namespace corvane::platform
