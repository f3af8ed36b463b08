#pragma once

#include <chrono>

namespace corvane::platform {

// A wall-clock time. Microseconds in 64 bits reach far beyond the years 1 to
// 9999 that a written time can name, so every such time reads back exactly
// (a nanosecond count would overflow outside 1677 to 2262).
using WallTime = std::chrono::sys_time<std::chrono::microseconds>;

// The two clocks the executor reads. A type that needs the time takes a Clock
// at construction, so that a test can hand it one it steers; production code
// passes systemClock(). The caller keeps the clock alive for as long as the
// object that was given it. Implementations are thread-safe.
class Clock {
 public:
  virtual ~Clock() = default;

  // Seconds on a monotonic clock that keeps counting while the machine
  // sleeps. Every deadline, back-off and retry time is an absolute reading
  // of this clock; it is never compared with wall-clock time.
  virtual double continuousSeconds() const = 0;

  // The current wall-clock time: for stamps written to files and compared
  // with the coordinator's times, never for measuring intervals.
  virtual WallTime wallTime() const = 0;
};

// The machine's clocks, shared by the whole process.
const Clock& systemClock();

// systemClock().continuousSeconds(), for code that does not take a Clock:
// deadlines handed between processes (the Codex supervisor reads the same
// clock) and waits that no test needs to steer.
double continuousSeconds();

}  // namespace corvane::platform
