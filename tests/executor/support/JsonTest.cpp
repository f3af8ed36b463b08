#include "executor/support/Json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "executor/support/CVError.h"

namespace corvane {
namespace {

std::string errorText(const std::function<void()>& body) {
  try {
    body();
  } catch (const CVError& error) {
    return error.what();
  }
  return "no error";
}

TEST(JsonTest, CompactFormIsSortedTightAndKeepsSlashes) {
  Json value = {{"zeta", 1}, {"alpha", {{"b", true}, {"a", nullptr}}}, {"url", "https://x.test/v1/"}, {"n", 1.5}};
  EXPECT_EQ(compactJSON(value), R"({"alpha":{"a":null,"b":true},"n":1.5,"url":"https://x.test/v1/","zeta":1})");
  EXPECT_EQ(prettyJSON({{"b", 1}, {"a", "x/y"}}), "{\n  \"a\": \"x/y\",\n  \"b\": 1\n}\n");
  EXPECT_EQ(compactJSON(Json::parse(R"({"text":"中文 \u0001"})")), "{\"text\":\"中文 \\u0001\"}");
}

TEST(JsonTest, ValuesThatCannotBeWrittenAreInvalidJSON) {
  const Json bad[] = {
      {{"n", std::numeric_limits<double>::quiet_NaN()}},
      {{"n", std::numeric_limits<double>::infinity()}},
      {{"deep", {{"list", {1, -std::numeric_limits<double>::infinity()}}}}},
      {{"text", "\xFF\xFE"}},
      {{"\xC3", "bad key"}},
  };
  for (const auto& value : bad) {
    EXPECT_FALSE(isSerializable(value));
    EXPECT_EQ(errorText([&] { compactJSON(value); }), "Invalid JSON");
    EXPECT_EQ(errorText([&] { prettyJSON(value); }), "Invalid JSON");
  }
  EXPECT_TRUE(isSerializable({{"ok", 1e300}}));
}

TEST(JsonTest, DefensiveReaders) {
  Json body = {{"deviceId", "d-1"}, {"empty", ""}, {"number", 7}, {"nested", {{"x", 1}}}};
  EXPECT_EQ(string(member(body, "deviceId"), "deviceId"), "d-1");
  EXPECT_EQ(errorText([&] { string(member(body, "empty"), "empty"); }), "Missing empty");
  EXPECT_EQ(errorText([&] { string(member(body, "number"), "number"); }), "Missing number");
  EXPECT_EQ(errorText([&] { string(member(body, "absent"), "token"); }), "Missing token");
  EXPECT_EQ(object(member(body, "nested")).at("x"), 1);
  EXPECT_EQ(errorText([&] { object(member(body, "number")); }), "Invalid JSON object");
  EXPECT_EQ(errorText([&] { object(nullptr); }), "Invalid JSON object");
  EXPECT_EQ(member(Json::array({1}), "x"), nullptr);

  EXPECT_EQ(parseJSON(R"({"a":[1,2]})"), (Json{{"a", {1, 2}}}));
  EXPECT_FALSE(parseJSON("{\"a\":"));
  EXPECT_FALSE(parseJSON(""));
}

}  // namespace
}  // namespace corvane
