#include "executor/quota/QuotaWhitelist.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "executor/quota/RuntimeAnswers.h"
#include "support/ErrorOf.h"

namespace corvane {
namespace {

using test::errorOf;

Json parsed(const char* text) {
  auto value = parseJSON(text);
  if (!value) throw std::invalid_argument(text);
  return *value;
}

const char* const realSnapshot =
    R"({"rateLimits":{"limitId":"codex",
                      "primary":{"usedPercent":42,"windowDurationMins":300,"resetsAt":1796861446},
                      "secondary":{"usedPercent":7,"windowDurationMins":10080,"resetsAt":1796944246}},
        "rateLimitsByLimitId":{"codex":{"limitId":"codex",
                      "primary":{"usedPercent":42,"windowDurationMins":300,"resetsAt":1796861446},
                      "secondary":{"usedPercent":7,"windowDurationMins":10080,"resetsAt":1796944246}}}})";

TEST(QuotaWhitelistTest, ARealAnswerKeepsOnlyTheCodexWindows) {
  // Limit names, model slugs, plan types, spending, the other limit, the
  // reset credits and the account id all stay on the machine.
  EXPECT_EQ(quotaWhitelist(parsed(test::rateLimitsWithCredits)), parsed(realSnapshot));
  EXPECT_EQ(quotaWhitelist(parsed(test::rateLimitsWithoutCreditDetails)), parsed(realSnapshot));
}

TEST(QuotaWhitelistTest, NormalisesWhatPasses) {
  struct Case {
    const char* name;
    const char* result;
    const char* snapshot;
  };
  const Case cases[] = {
      {"only the limit map, other limits dropped",
       R"({"rateLimitsByLimitId":{"codex":{"primary":{"usedPercent":1}},"other":{"primary":{"usedPercent":2}}}})",
       R"({"rateLimitsByLimitId":{"codex":{"primary":{"usedPercent":1,"windowDurationMins":null,"resetsAt":null},
                                           "secondary":null}}})"},
      {"a limit map that is not an object is ignored", R"({"rateLimits":{},"rateLimitsByLimitId":[1]})",
       R"({"rateLimits":{"primary":null,"secondary":null}})"},
      {"a limit map without codex is ignored", R"({"rateLimits":{},"rateLimitsByLimitId":{"other":null}})",
       R"({"rateLimits":{"primary":null,"secondary":null}})"},
      {"a null limit map is ignored", R"({"rateLimits":{},"rateLimitsByLimitId":null})",
       R"({"rateLimits":{"primary":null,"secondary":null}})"},
      {"limitId null is kept", R"({"rateLimits":{"limitId":null}})",
       R"({"rateLimits":{"limitId":null,"primary":null,"secondary":null}})"},
      {"used 100", R"({"rateLimits":{"primary":{"usedPercent":100,"windowDurationMins":300,"resetsAt":1}}})",
       R"({"rateLimits":{"primary":{"usedPercent":100,"windowDurationMins":300,"resetsAt":1},"secondary":null}})"},
      {"used 0 and a fraction", R"({"rateLimits":{"primary":{"usedPercent":0},"secondary":{"usedPercent":99.5}}})",
       R"({"rateLimits":{"primary":{"usedPercent":0,"windowDurationMins":null,"resetsAt":null},
                         "secondary":{"usedPercent":99.5,"windowDurationMins":null,"resetsAt":null}}})"},
      {"whole lengths however written",
       R"({"rateLimits":{"primary":{"usedPercent":5,"windowDurationMins":300.0},
                         "secondary":{"usedPercent":5,"windowDurationMins":1}}})",
       R"({"rateLimits":{"primary":{"usedPercent":5,"windowDurationMins":300.0,"resetsAt":null},
                         "secondary":{"usedPercent":5,"windowDurationMins":1,"resetsAt":null}}})"},
      {"a length beyond 64 bits passes here as a whole number",
       R"({"rateLimits":{"primary":{"usedPercent":5,"windowDurationMins":1e300}}})",
       R"({"rateLimits":{"primary":{"usedPercent":5,"windowDurationMins":1e300,"resetsAt":null},"secondary":null}})"},
      {"explicit nulls", R"({"rateLimits":{"primary":{"usedPercent":5,"windowDurationMins":null,"resetsAt":null},
                                            "secondary":null}})",
       R"({"rateLimits":{"primary":{"usedPercent":5,"windowDurationMins":null,"resetsAt":null},"secondary":null}})"},
      {"any finite reset time", R"({"rateLimits":{"primary":{"usedPercent":5,"resetsAt":-1.5}}})",
       R"({"rateLimits":{"primary":{"usedPercent":5,"windowDurationMins":null,"resetsAt":-1.5},"secondary":null}})"},
  };
  for (const auto& c : cases) EXPECT_EQ(quotaWhitelist(parsed(c.result)), parsed(c.snapshot)) << c.name;
}

TEST(QuotaWhitelistTest, RefusesWhatIsNotARateLimitAnswer) {
  const CVError protocol = CVError::runtime("protocol_error");
  const CVError invalid = CVError::invalid("Invalid JSON object");
  auto withWindow = [](const std::string& window) {
    return R"({"rateLimits":{"limitId":"codex","primary":)" + window + "}}";
  };
  struct Case {
    std::string result;
    CVError error;
  };
  const Case cases[] = {
      {"{}", protocol},
      {"[]", protocol},
      {"null", protocol},
      {R"({"rateLimitsByLimitId":{"other":{}}})", protocol},
      {R"({"rateLimitsByLimitId":null})", protocol},
      {R"({"rateLimits":null})", protocol},
      {R"({"rateLimits":null,"rateLimitsByLimitId":{"codex":{}}})", protocol},
      {R"({"rateLimits":{},"rateLimitsByLimitId":{"codex":null}})", protocol},
      {R"({"rateLimits":[]})", invalid},
      {R"({"rateLimits":"codex"})", invalid},
      {R"({"rateLimits":7})", invalid},
      {R"({"rateLimitsByLimitId":{"codex":[]}})", invalid},
      {R"({"rateLimits":{"limitId":"other"}})", protocol},
      {R"({"rateLimits":{"limitId":""}})", protocol},
      {R"({"rateLimits":{"limitId":7}})", protocol},
      {R"({"rateLimits":{"primary":"x"}})", invalid},
      {R"({"rateLimits":{"primary":[]}})", invalid},
      {R"({"rateLimits":{"secondary":1}})", invalid},
      {withWindow(R"({"usedPercent":100.5})"), protocol},
      {withWindow(R"({"usedPercent":-1})"), protocol},
      {withWindow(R"({"usedPercent":true})"), protocol},
      {withWindow(R"({"usedPercent":"50"})"), protocol},
      {withWindow(R"({"usedPercent":null})"), protocol},
      {withWindow(R"({"windowDurationMins":300})"), protocol},
      {withWindow(R"({"usedPercent":5,"windowDurationMins":0})"), protocol},
      {withWindow(R"({"usedPercent":5,"windowDurationMins":-300})"), protocol},
      {withWindow(R"({"usedPercent":5,"windowDurationMins":2.5})"), protocol},
      {withWindow(R"({"usedPercent":5,"windowDurationMins":"300"})"), protocol},
      {withWindow(R"({"usedPercent":5,"windowDurationMins":true})"), protocol},
      {withWindow(R"({"usedPercent":5,"resetsAt":"soon"})"), protocol},
      {withWindow(R"({"usedPercent":5,"resetsAt":false})"), protocol},
      {withWindow(R"({"usedPercent":5,"resetsAt":{}})"), protocol},
      // The first broken rule decides: limitId, then primary, then secondary.
      {R"({"rateLimits":{"limitId":"other","primary":"x"}})", protocol},
      {R"({"rateLimits":{"primary":{"usedPercent":101},"secondary":"x"}})", protocol},
      {R"({"rateLimits":{"primary":"x","secondary":{"usedPercent":101}}})", invalid},
      // A good bucket does not save a bad one.
      {R"({"rateLimits":{"primary":{"usedPercent":5}},"rateLimitsByLimitId":{"codex":{"limitId":"other"}}})", protocol},
  };
  for (const auto& c : cases) {
    auto result = parseJSON(c.result);
    ASSERT_TRUE(result) << c.result;
    EXPECT_EQ(errorOf([&] { quotaWhitelist(*result); }), c.error) << c.result;
  }
  // Values built in the process can hold what JSON text cannot.
  Json infinite = {{"rateLimits", {{"primary", {{"usedPercent", 5}, {"resetsAt", HUGE_VAL}}}}}};
  EXPECT_EQ(errorOf([&] { quotaWhitelist(infinite); }), protocol);
  Json notANumber = {{"rateLimits", {{"primary", {{"usedPercent", std::nan("")}}}}}};
  EXPECT_EQ(errorOf([&] { quotaWhitelist(notANumber); }), protocol);
}

// Whatever else the runtime adds, at any level, never reaches the snapshot.
TEST(QuotaWhitelistTest, ExtraMembersNeverPassThrough) {
  std::mt19937 random(7);
  const Json extras[] = {nullptr, 1, "secret@example.com", Json::array({1, 2}), {{"nested", {{"token", "x"}}}}};
  auto anyExtra = [&] { return extras[random() % std::size(extras)]; };
  Json base = parsed(test::rateLimitsWithCredits);
  Json expected = parsed(realSnapshot);
  for (int round = 0; round < 200; ++round) {
    Json result = base;
    Json& limits = result["rateLimits"];
    Json& codex = result["rateLimitsByLimitId"]["codex"];
    Json* places[] = {
        &result, &limits, &codex, &limits["primary"], &limits["secondary"], &codex["primary"], &codex["secondary"]};
    for (Json* place : places)
      for (int i = 0; i < 3; ++i) (*place)["extra" + std::to_string(random() % 1000)] = anyExtra();
    EXPECT_EQ(quotaWhitelist(result), expected) << result.dump();
  }
}

}  // namespace
}  // namespace corvane
