#pragma once

#include <optional>
#include <ostream>
#include <utility>

#include "executor/support/CVError.h"

namespace corvane {

// Lets GoogleTest show a CVError that did not match.
inline void PrintTo(const CVError& error, std::ostream* out) { *out << "CVError(" << error.description() << ")"; }

namespace test {

// The CVError that body throws, or nothing when it returns. Compare the
// result with the error expected: EXPECT_EQ(errorOf(...), CVError::storage()).
template <typename Body>
std::optional<CVError> errorOf(Body&& body) {
  try {
    std::forward<Body>(body)();
  } catch (const CVError& error) {
    return error;
  }
  return std::nullopt;
}

}  // namespace test
}  // namespace corvane
