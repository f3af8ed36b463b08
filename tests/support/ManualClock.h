#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/Clock.h"

namespace corvane::test {

// A clock that moves only when the test moves it, so that what a type does
// with the time can be checked exactly. Both readings may be set and
// advanced from any thread.
class ManualClock final : public platform::Clock {
 public:
  explicit ManualClock(platform::WallTime wall = platform::WallTime{}, double continuous = 1000);

  double continuousSeconds() const override { return continuous_.load(); }
  platform::WallTime wallTime() const override;

  void setWallTime(platform::WallTime wall);
  // Moves both clocks on by the same amount.
  void advance(std::chrono::microseconds step);

 private:
  std::atomic<double> continuous_;
  std::atomic<int64_t> wallMicroseconds_;
};

}  // namespace corvane::test
