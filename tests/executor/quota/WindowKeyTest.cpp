#include "executor/quota/WindowKey.h"

#include <gtest/gtest.h>

#include <limits>

namespace corvane {
namespace {

TEST(WindowKeyTest, NamesWholeLengthsAndTurnsAwayTheRest) {
  struct Case {
    Json duration;
    std::optional<std::string> key;
  };
  const Case cases[] = {
      {300, "fiveHour"},
      {300.0, "fiveHour"},
      {300u, "fiveHour"},
      {10080, "weekly"},
      {60, "duration_60"},
      {1, "duration_1"},
      {std::numeric_limits<int64_t>::max(), "duration_9223372036854775807"},
      {static_cast<uint64_t>(std::numeric_limits<int64_t>::max()), "duration_9223372036854775807"},
      {std::numeric_limits<int64_t>::min(), "duration_-9223372036854775808"},
      {-9223372036854775808.0, "duration_-9223372036854775808"},
      {9223372036854774784.0, "duration_9223372036854774784"},  // the largest double below 2^63
      // Outside the signed 64-bit range, however the number was written.
      {static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1, std::nullopt},
      {std::numeric_limits<uint64_t>::max(), std::nullopt},
      {9223372036854775808.0, std::nullopt},
      {-9223372036854777856.0, std::nullopt},
      {1e300, std::nullopt},
      {-1e300, std::nullopt},
      {std::numeric_limits<double>::infinity(), std::nullopt},
      {std::numeric_limits<double>::quiet_NaN(), std::nullopt},
      {2.5, std::nullopt},
      {true, std::nullopt},
      {"300", std::nullopt},
      {nullptr, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(windowKey(&c.duration), c.key) << c.duration.dump();
  EXPECT_EQ(windowKey(nullptr), std::nullopt);
  // The same bound holds for the numbers parsed from outside.
  for (const char* text : {"18446744073709551615", "9223372036854775808", "1e19", "-9.3e18"}) {
    Json parsed = *parseJSON(text);
    EXPECT_EQ(windowKey(&parsed), std::nullopt) << text;
  }
  Json largest = *parseJSON("9223372036854775807");
  EXPECT_EQ(windowKey(&largest), "duration_9223372036854775807");
}

TEST(WindowKeyTest, WholeNumbersAreSigned64BitIntegers) {
  Json values[] = {7, -7, 7.0, 7.5, false, 18446744073709551615u};
  std::optional<int64_t> expected[] = {7, -7, 7, std::nullopt, std::nullopt, std::nullopt};
  for (size_t i = 0; i < std::size(values); ++i) EXPECT_EQ(wholeNumber(&values[i]), expected[i]) << values[i];
}

}  // namespace
}  // namespace corvane
