#include "support/ManualClock.h"

namespace corvane::test {

ManualClock::ManualClock(platform::WallTime wall, double continuous)
    : continuous_(continuous), wallMicroseconds_(wall.time_since_epoch().count()) {}

platform::WallTime ManualClock::wallTime() const {
  return platform::WallTime(std::chrono::microseconds(wallMicroseconds_.load()));
}

void ManualClock::setWallTime(platform::WallTime wall) { wallMicroseconds_ = wall.time_since_epoch().count(); }

void ManualClock::advance(std::chrono::microseconds step) {
  wallMicroseconds_ += step.count();
  double seconds = std::chrono::duration<double>(step).count();
  double current = continuous_.load();
  while (!continuous_.compare_exchange_weak(current, current + seconds)) {
  }
}

}  // namespace corvane::test
