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

std::string nested(char open, char close, size_t depth, std::string_view inside = "") {
  std::string text(depth, open);
  text += inside;
  text.append(depth, close);
  return text;
}

TEST(JsonTest, ParsingRefusesNestingBeyondTheBound) {
  // Objects need a key before each inner value.
  auto objects = [](size_t depth) {
    std::string text;
    for (size_t i = 0; i < depth; ++i) text += "{\"k\":";
    text += "1";
    text.append(depth, '}');
    return text;
  };
  struct Case {
    std::string text;
    bool parses;
  };
  const Case cases[] = {
      {nested('[', ']', maximumParsedDepth), true},
      {nested('[', ']', maximumParsedDepth + 1), false},
      {objects(maximumParsedDepth), true},
      {objects(maximumParsedDepth + 1), false},
      // Brackets inside strings are text, not nesting.
      {"[\"" + std::string(1000, '[') + "\"]", true},
      // Far beyond the bound, as a hostile peer would send it: refused, not a crash.
      {nested('[', ']', 100000), false},
      {"{\"id\":" + nested('[', ']', 200000) + ",\"method\":\"x\"}", false},
      // Unterminated, so only the nesting can refuse it early.
      {std::string(500000, '['), false},
  };
  for (const auto& c : cases) EXPECT_EQ(parseJSON(c.text).has_value(), c.parses) << c.text.substr(0, 80);
}

TEST(JsonTest, WritingRefusesNestingBeyondTheBoundWithoutRecursing) {
  auto build = [](size_t depth) {
    Json root = Json::array();
    Json* current = &root;
    for (size_t i = 1; i < depth; ++i) {
      current->push_back(Json::array());
      current = &current->back();
    }
    return root;
  };
  EXPECT_TRUE(isSerializable(build(maximumWrittenDepth)));
  for (size_t depth : {size_t(maximumWrittenDepth) + 1, size_t(100000)}) {
    Json deep = build(depth);
    EXPECT_FALSE(isSerializable(deep));
    EXPECT_EQ(errorText([&] { compactJSON(deep); }), "Invalid JSON");
    EXPECT_EQ(errorText([&] { prettyJSON(deep); }), "Invalid JSON");
  }
}

}  // namespace
}  // namespace corvane
