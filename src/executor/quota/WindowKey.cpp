#include "executor/quota/WindowKey.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace corvane {

std::optional<int64_t> wholeNumber(const Json* number) {
  if (!number) return std::nullopt;
  const Json& value = *number;
  if (value.is_number_unsigned()) {
    auto whole = value.get<uint64_t>();
    if (whole > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(whole);
  }
  if (value.is_number_integer()) return value.get<int64_t>();
  if (!value.is_number_float()) return std::nullopt;
  double whole = value.get<double>();
  // 2^63 is exactly representable; every whole double below it and from
  // -2^63 up converts without overflow.
  constexpr double limit = 9223372036854775808.0;
  if (!std::isfinite(whole) || std::floor(whole) != whole || whole < -limit || whole >= limit) return std::nullopt;
  return static_cast<int64_t>(whole);
}

std::optional<std::string> windowKey(const Json* duration) {
  auto minutes = wholeNumber(duration);
  if (!minutes) return std::nullopt;
  if (*minutes == 300) return fiveHourWindow;
  if (*minutes == 10080) return weeklyWindow;
  return "duration_" + std::to_string(*minutes);
}

}  // namespace corvane
