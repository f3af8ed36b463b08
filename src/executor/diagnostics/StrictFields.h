#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "executor/support/Json.h"

namespace corvane::diagnostics {

// The members of the diagnostics state file, read strictly: a member of the
// wrong type makes the record undecodable, as a damaged or foreign file
// should be, rather than being read as some default. Each returns false (or
// nothing) when the member does not fit; none throws.

inline bool readString(const Json& object, std::string_view key, std::string& out) {
  const Json* value = member(object, key);
  if (!value || !value->is_string()) return false;
  out = value->get<std::string>();
  return true;
}

inline bool readNumber(const Json& object, std::string_view key, double& out) {
  const Json* value = member(object, key);
  if (!value || !value->is_number()) return false;
  out = value->get<double>();
  return true;
}

inline bool readBoolean(const Json& object, std::string_view key, bool& out) {
  const Json* value = member(object, key);
  if (!value || !value->is_boolean()) return false;
  out = value->get<bool>();
  return true;
}

// A whole number that fits 64 bits: an integer, or a number with no fraction.
inline std::optional<int64_t> wholeNumber(const Json& value) {
  if (value.is_number_unsigned()) {
    auto number = value.get<uint64_t>();
    if (number > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<int64_t>(number);
  }
  if (value.is_number_integer()) return value.get<int64_t>();
  if (!value.is_number_float()) return std::nullopt;
  double number = value.get<double>();
  // 2^63 itself does not fit; every double below it does.
  if (!std::isfinite(number) || std::trunc(number) != number || number < -9223372036854775808.0 ||
      number >= 9223372036854775808.0)
    return std::nullopt;
  return static_cast<int64_t>(number);
}

inline bool readInteger(const Json& object, std::string_view key, int64_t& out) {
  const Json* value = member(object, key);
  if (!value) return false;
  auto number = wholeNumber(*value);
  if (!number) return false;
  out = *number;
  return true;
}

// An optional member: absent or null is nothing and fits; anything else must
// be of the type.
inline bool readOptionalString(const Json& object, std::string_view key, std::optional<std::string>& out) {
  const Json* value = member(object, key);
  if (!value || value->is_null()) return true;
  if (!value->is_string()) return false;
  out = value->get<std::string>();
  return true;
}

inline bool readOptionalInteger(const Json& object, std::string_view key, std::optional<int64_t>& out) {
  const Json* value = member(object, key);
  if (!value || value->is_null()) return true;
  auto number = wholeNumber(*value);
  if (!number) return false;
  out = *number;
  return true;
}

}  // namespace corvane::diagnostics
