#include "executor/support/Parsing.h"

#include <gtest/gtest.h>

#include "executor/support/CVError.h"
#include "executor/support/Uuid.h"

namespace corvane {
namespace {

TEST(ParsingTest, Identifiers) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"", false},
      {std::string(128, 'a'), true},
      {std::string(129, 'a'), false},
      {"Device-01_x", true},
      {"has space", false},
      {"dévice", false},
      {"a.b", false},
      {"a/b", false},
      {std::string("a\0b", 3), false},
  };
  for (const auto& c : cases) EXPECT_EQ(isIdentifier(c.text), c.valid) << c.text;
}

TEST(ParsingTest, InternetDateTimes) {
  using namespace std::chrono;
  const WallTime base = sys_days(year(2026) / 1 / 2) + hours(3) + minutes(4) + seconds(5);
  struct Case {
    std::string text;
    WallTime expected;
  };
  const Case cases[] = {
      {"2026-01-02T03:04:05Z", base},
      {"2026-01-02T03:04:05.250Z", base + milliseconds(250)},
      {"2026-01-02T11:04:05+08:00", base},
      {"2026-01-01T22:34:05-04:30", base},
      {"2026-01-02T03:04:05.123456789Z", base + microseconds(123456)},
  };
  for (const auto& c : cases) {
    Json value = c.text;
    EXPECT_EQ(parseTime(&value), c.expected) << c.text;
  }

  for (const char* text :
       {"2026-01-02 03:04:05Z", "2026-01-02T03:04:05", "2026-01-02T03:04:05+0800", "2026-02-30T00:00:00Z",
        "2026-01-02T24:00:00Z", "2026-01-02T03:04:05.Z", "2026-01-02T03:04:05Zjunk", "26-01-02T03:04:05Z"}) {
    Json value = text;
    try {
      parseTime(&value);
      ADD_FAILURE() << text;
    } catch (const CVError& error) {
      EXPECT_STREQ(error.what(), "Invalid time") << text;
    }
  }
  for (const Json& value : {Json(""), Json(12), Json(nullptr)}) {
    try {
      parseTime(&value);
      ADD_FAILURE() << value;
    } catch (const CVError& error) {
      EXPECT_STREQ(error.what(), "Missing time");
    }
  }
  EXPECT_THROW(parseTime(nullptr), CVError);
}

TEST(ParsingTest, TimesOfEveryWritableYearReadBackExactly) {
  using namespace std::chrono;
  const char* texts[] = {"0001-01-01T00:00:00Z", "1677-09-21T00:12:43Z", "1969-12-31T23:59:59Z",
                         "2262-04-11T23:47:17Z", "2300-01-01T00:00:00Z", "9999-12-31T23:59:59Z"};
  for (const char* text : texts) {
    Json value = text;
    EXPECT_EQ(formatTime(parseTime(&value)), text);
  }
  Json offset = "2300-01-01T08:00:00.5+08:00";
  EXPECT_EQ(parseTime(&offset), sys_days(year(2300) / 1 / 1) + milliseconds(500));

  // Within the text's syntax, but outside what a time can be written as.
  for (const char* text : {"0000-12-31T23:59:59Z", "0001-01-01T00:00:00+00:01", "9999-12-31T23:59:59-00:01"}) {
    Json value = text;
    try {
      parseTime(&value);
      ADD_FAILURE() << text;
    } catch (const CVError& error) {
      EXPECT_STREQ(error.what(), "Invalid time") << text;
    }
  }
  EXPECT_EQ(formatTime(WallTime::max()), "9999-12-31T23:59:59Z");
  EXPECT_EQ(formatTime(WallTime::min()), "0001-01-01T00:00:00Z");
}

TEST(ParsingTest, WrittenTimesReadBack) {
  using namespace std::chrono;
  WallTime time = sys_days(year(1999) / 12 / 31) + hours(23) + minutes(59) + seconds(59) + milliseconds(900);
  EXPECT_EQ(formatTime(time), "1999-12-31T23:59:59Z");
  Json written = formatTime(time);
  EXPECT_EQ(parseTime(&written), floor<seconds>(time));
}

TEST(ParsingTest, RandomUUIDsAreCanonicalUpperCaseVersion4) {
  std::string a = randomUUID(), b = randomUUID();
  EXPECT_NE(a, b);
  EXPECT_TRUE(isUUID(a));
  EXPECT_EQ(a[14], '4');
  EXPECT_NE(std::string("89AB").find(a[19]), std::string::npos);
  for (char c : a) EXPECT_FALSE(c >= 'a' && c <= 'z') << a;
  EXPECT_TRUE(isUUID("8c1d6f2e-0b4a-4c3d-9e8f-0123456789ab"));
  EXPECT_FALSE(isUUID("8C1D6F2E0B4A4C3D9E8F0123456789AB"));
  EXPECT_FALSE(isUUID("8C1D6F2E-0B4A-4C3D-9E8F-0123456789AG"));
}

}  // namespace
}  // namespace corvane
