#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "executor/support/Json.h"

namespace corvane {

using WallTime = std::chrono::system_clock::time_point;

// An identifier from outside (device, task, account, credential, login): 1 to
// 128 bytes, each an ASCII letter, digit, "-" or "_".
bool isIdentifier(std::string_view text);

// An ISO 8601 internet date-time ("2026-01-02T03:04:05.678Z",
// "2026-01-02T11:04:05+08:00"). CVError.invalid "Missing time" when absent or
// empty, "Invalid time" when it does not parse.
WallTime parseTime(const Json* value);

// The written form: UTC, whole seconds, "Z" ("2026-01-02T03:04:05Z").
std::string formatTime(WallTime time);

}  // namespace corvane
