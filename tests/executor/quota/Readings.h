#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>

#include "executor/support/Json.h"
#include "executor/support/Parsing.h"

namespace corvane::test {

// The wall-clock time of Unix seconds, to the microsecond.
inline WallTime wallTime(double seconds) {
  return WallTime(std::chrono::microseconds(static_cast<int64_t>(std::llround(seconds * 1e6))));
}

// A usage window as the rate-limit snapshot holds it (five hours unless told).
inline Json window(Json used, Json resetsAt, Json duration = 300) {
  return {{"usedPercent", used}, {"windowDurationMins", duration}, {"resetsAt", resetsAt}};
}

}  // namespace corvane::test
