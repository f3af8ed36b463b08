#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "executor/support/Json.h"
#include "platform/Clock.h"

namespace corvane {

using platform::WallTime;

// The system's wall-clock time, for code that does not take a platform::Clock.
inline WallTime currentWallTime() { return platform::systemClock().wallTime(); }

// An identifier from outside (device, task, account, credential, login): 1 to
// 128 bytes, each an ASCII letter, digit, "-" or "_".
bool isIdentifier(std::string_view text);

// An ISO 8601 internet date-time ("2026-01-02T03:04:05.678Z",
// "2026-01-02T11:04:05+08:00"), fractions kept to the microsecond.
// CVError.invalid "Missing time" when absent or empty, "Invalid time" when it
// does not parse or, once in UTC, falls outside the years 1 to 9999 (which
// formatTime could not write back).
WallTime parseTime(const Json* value);

// The written form: UTC, whole seconds, "Z" ("2026-01-02T03:04:05Z"). Times
// outside the years 1 to 9999 are written as the nearest end of that range,
// so the text is always one parseTime reads.
std::string formatTime(WallTime time);

}  // namespace corvane
