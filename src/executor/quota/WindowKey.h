#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "executor/support/Json.h"

namespace corvane {

// The names of the two usage windows that the coordinator times.
inline constexpr const char* fiveHourWindow = "fiveHour";  // 300 minutes
inline constexpr const char* weeklyWindow = "weekly";      // 10080 minutes

// The key of a usage window whose "windowDurationMins" is duration:
// "fiveHour", "weekly", or "duration_" and the whole number of minutes for
// any other length ("duration_60"). Nothing when duration is absent, not a
// number (a boolean included), not whole, or outside the signed 64-bit range,
// so a hostile length can neither overflow a conversion nor make a key.
std::optional<std::string> windowKey(const Json* duration);

// value as a signed 64-bit integer when it is a whole JSON number (not a
// boolean) within that range; nothing otherwise, absent (nullptr) included.
std::optional<int64_t> wholeNumber(const Json* value);

}  // namespace corvane
