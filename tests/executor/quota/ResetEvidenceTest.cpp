#include "executor/quota/ResetEvidence.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <limits>
#include <random>

#include "executor/quota/Readings.h"
#include "executor/quota/RuntimeAnswers.h"
#include "executor/support/Uuid.h"
#include "support/ErrorOf.h"
#include "support/Files.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::errorOf;
using test::readFile;
using test::TemporaryDirectory;
using test::wallTime;
using test::window;
using test::writeFile;

const double t0 = 1'800'000'000;

Json credit(const std::string& id, const std::string& status, double grantedAt = t0 - 86400,
            const std::string& resetType = "codexRateLimits") {
  return {{"id", id}, {"status", status}, {"resetType", resetType}, {"grantedAt", grantedAt}};
}

Json record(Json count, Json credits) { return {{"availableCount", count}, {"credits", credits}}; }

Json movedTo(Json observation, double at) {
  observation["observedAt"] = at;
  return observation;
}

// An observation of one account ("user@example.com", plan "plus") whose
// codex bucket holds primary and secondary.
Json observation(double at, Json primary, Json secondary = nullptr, std::optional<Json> banked = {},
                 Json email = "user@example.com", Json plan = "plus") {
  Json limits = {{"rateLimits", {{"limitId", "codex"}, {"primary", primary}, {"secondary", secondary}}}};
  Json result = {{"observedAt", at}, {"planType", plan}, {"email", email}, {"rateLimits", limits}};
  if (banked) result["banked"] = *banked;
  return result;
}

// Two available credits, complete.
const Json steadyCredits = record(2, {credit("cred-1", "available"), credit("cred-2", "available")});

TEST(ResetEvidenceTest, NumbersAreFiniteAndNeverBooleans) {
  struct Case {
    Json value;
    std::optional<double> expected;
  };
  const Case cases[] = {
      {0, 0.0},
      {-1.5, -1.5},
      {42u, 42.0},
      {std::numeric_limits<int64_t>::min(), -9223372036854775808.0},
      {std::numeric_limits<uint64_t>::max(), 18446744073709551615.0},
      {1e308, 1e308},
      {true, std::nullopt},
      {false, std::nullopt},
      {"1", std::nullopt},
      {nullptr, std::nullopt},
      {Json::array({1}), std::nullopt},
      {std::numeric_limits<double>::quiet_NaN(), std::nullopt},
      {std::numeric_limits<double>::infinity(), std::nullopt},
      {-std::numeric_limits<double>::infinity(), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ResetEvidence::number(&c.value), c.expected) << c.value.dump();
  EXPECT_EQ(ResetEvidence::number(nullptr), std::nullopt);
}

TEST(ResetEvidenceTest, BankedRecordKeepsTheCountAndOnlyAnIntactCreditList) {
  auto credits = [](size_t count) {
    Json list = Json::array();
    for (size_t i = 0; i < count; ++i) list.push_back(credit("c" + std::to_string(i), "available"));
    return list;
  };
  Json withExpiry = credit("a", "available");
  withExpiry["expiresAt"] = t0 + 86400;
  Json nullExpiry = credit("a", "available");
  nullExpiry["expiresAt"] = nullptr;
  auto changed = [](const char* key, Json value) {
    Json entry = credit("a", "available");
    if (value.is_discarded())
      entry.erase(key);
    else
      entry[key] = value;
    return entry;
  };
  const Json removed = Json(Json::value_t::discarded);
  const std::string twoByteID(512, 'x');
  std::string accented;
  for (int i = 0; i < 257; ++i) accented += "é";  // 514 bytes, 257 characters

  struct Case {
    const char* name;
    Json source;
    std::optional<Json> expected;
  };
  const Case cases[] = {
      {"not an object", Json::array(), std::nullopt},
      {"null", nullptr, std::nullopt},
      {"no count", {{"credits", Json::array()}}, std::nullopt},
      {"negative count", record(-1, Json::array()), std::nullopt},
      {"fractional count", record(1.5, Json::array()), std::nullopt},
      {"count as text", record("2", Json::array()), std::nullopt},
      {"count as boolean", record(true, Json::array()), std::nullopt},
      {"zero and an empty list", record(0, Json::array()), record(0, Json::array())},
      {"whole float count kept as given", record(2.0, Json::array()), record(2.0, Json::array())},
      {"credits null", record(2, nullptr), Json{{"availableCount", 2}}},
      {"credits not a list", record(2, {{"id", "a"}}), Json{{"availableCount", 2}}},
      {"256 credits", record(256, credits(256)), record(256, credits(256))},
      {"257 credits", record(257, credits(257)), Json{{"availableCount", 257}}},
      {"duplicate id", record(2, {credit("a", "available"), credit("a", "redeemed")}), Json{{"availableCount", 2}}},
      {"one credit not an object", record(1, {credit("a", "available"), "b"}), Json{{"availableCount", 1}}},
      {"512-byte id", record(1, {credit(twoByteID, "available")}), record(1, {credit(twoByteID, "available")})},
      {"513-byte id", record(1, {credit(twoByteID + "x", "available")}), Json{{"availableCount", 1}}},
      {"id over 512 bytes in fewer characters", record(1, {credit(accented, "available")}),
       Json{{"availableCount", 1}}},
      {"empty id", record(1, {credit("", "available")}), Json{{"availableCount", 1}}},
      {"id not a string", record(1, {changed("id", 7)}), Json{{"availableCount", 1}}},
      {"unknown status", record(1, {credit("a", "expired")}), Json{{"availableCount", 1}}},
      {"status missing", record(1, {changed("status", removed)}), Json{{"availableCount", 1}}},
      {"unknown reset type", record(1, {credit("a", "available", t0, "other")}), Json{{"availableCount", 1}}},
      {"granted at 0", record(1, {changed("grantedAt", 0)}), Json{{"availableCount", 1}}},
      {"granted at as text", record(1, {changed("grantedAt", "1")}), Json{{"availableCount", 1}}},
      {"granted at missing", record(1, {changed("grantedAt", removed)}), Json{{"availableCount", 1}}},
      {"expiry kept", record(1, {withExpiry}), record(1, {withExpiry})},
      {"null expiry left out", record(1, {nullExpiry}), record(1, {credit("a", "available")})},
      {"expiry 0", record(1, {changed("expiresAt", 0)}), Json{{"availableCount", 1}}},
      {"expiry false", record(1, {changed("expiresAt", false)}), Json{{"availableCount", 1}}},
      {"every status and reset type",
       record(1, {credit("a", "available"), credit("b", "redeeming", t0, "unknown"), credit("c", "redeemed"),
                  credit("d", "unknown")}),
       record(1, {credit("a", "available"), credit("b", "redeeming", t0, "unknown"), credit("c", "redeemed"),
                  credit("d", "unknown")})},
  };
  for (const auto& c : cases) EXPECT_EQ(ResetEvidence::banked(&c.source), c.expected) << c.name;
  EXPECT_EQ(ResetEvidence::banked(nullptr), std::nullopt);
}

TEST(ResetEvidenceTest, SampleOfARealAnswerKeepsOnlyTheCreditFields) {
  Json raw = *parseJSON(test::rateLimitsWithCredits);
  Json limits = {{"rateLimits", {{"limitId", "codex"}, {"primary", window(42, 1796861446)}, {"secondary", nullptr}}}};
  Json summary = {{"planType", "plus"}, {"email", "User@Example.COM"}, {"rateLimits", limits}, {"extra", 1}};
  Json expected = {
      {"observedAt", t0 + 0.25}, {"planType", "plus"}, {"email", "user@example.com"}, {"rateLimits", limits}};
  expected["banked"] = Json::parse(R"({"availableCount":2,"credits":[
      {"id":"cred-1","resetType":"codexRateLimits","status":"available","grantedAt":1796083200,"expiresAt":1798675200},
      {"id":"cred-2","resetType":"codexRateLimits","status":"available","grantedAt":1796169600}]})");
  EXPECT_EQ(ResetEvidence::sample(summary, raw, wallTime(t0 + 0.25)), expected);

  Json withoutDetails = *parseJSON(test::rateLimitsWithoutCreditDetails);
  EXPECT_EQ(ResetEvidence::sample(summary, withoutDetails, wallTime(t0))["banked"], Json({{"availableCount", 2}}));
  // Nothing to go on: no plan, no e-mail, no limits, no credits.
  EXPECT_EQ(ResetEvidence::sample({{"rateLimits", "x"}}, Json::object(), wallTime(t0)),
            (Json{{"observedAt", t0}, {"planType", nullptr}, {"email", ""}, {"rateLimits", Json::object()}}));
}

TEST(ResetEvidenceTest, CompleteCreditsNeedKnownResetsAndTheFullCount) {
  Json noStatus = credit("b", "available");
  noStatus.erase("status");
  struct Case {
    const char* name;
    std::optional<Json> banked;
    bool complete;
  };
  const Case cases[] = {
      {"two available of two", steadyCredits, true},
      {"empty and zero", record(0, Json::array()), true},
      {"a redeemed one beside the available", record(1, {credit("a", "available"), credit("b", "redeemed")}), true},
      {"one without a status", record(1, {credit("a", "available"), noStatus}), true},
      {"count too high", record(3, steadyCredits["credits"]), false},
      {"count too low", record(1, steadyCredits["credits"]), false},
      {"an unknown status", record(1, {credit("a", "available"), credit("b", "unknown")}), false},
      {"an unknown reset type", record(1, {credit("a", "available", t0, "unknown")}), false},
      {"count only", Json{{"availableCount", 2}}, false},
      {"credits only", Json{{"credits", Json::array()}}, false},
      {"no record", std::nullopt, false},
  };
  for (const auto& c : cases) {
    auto credits = ResetEvidence::completeCredits(observation(t0, window(10, t0 + 100), nullptr, c.banked));
    EXPECT_EQ(credits.has_value(), c.complete) << c.name;
    if (credits) {
      EXPECT_EQ(*credits, (*c.banked)["credits"]) << c.name;
    }
  }
}

TEST(ResetEvidenceTest, WindowsAreKeyedByTheirLength) {
  Json five = window(10, t0, 300);
  Json week = window(20, t0, 10080);
  Json fiveAsFloat = window(30, t0, 300.0);
  Json hour = window(40, t0, 60);
  struct Case {
    const char* name;
    Json observation;
    Json expected;
  };
  Json mapped = observation(t0, window(99, t0, 300));
  mapped["rateLimits"]["rateLimitsByLimitId"] = {{"codex", {{"primary", week}, {"secondary", five}}}};
  Json mapNotAnObject = observation(t0, five);
  mapNotAnObject["rateLimits"]["rateLimitsByLimitId"] = {{"codex", "x"}};
  const Case cases[] = {
      {"five hours and a week", observation(t0, five, week), {{"fiveHour", five}, {"weekly", week}}},
      {"a float length", observation(t0, fiveAsFloat), {{"fiveHour", fiveAsFloat}}},
      {"an hour is not keyed", observation(t0, hour, week), {{"weekly", week}}},
      {"the same length twice: secondary", observation(t0, five, fiveAsFloat), {{"fiveHour", fiveAsFloat}}},
      {"the limit map's bucket first", mapped, {{"fiveHour", five}, {"weekly", week}}},
      {"a limit map entry that is not an object", mapNotAnObject, {{"fiveHour", five}}},
      {"no windows", observation(t0, nullptr, "x"), Json::object()},
      {"no rate limits", Json{{"observedAt", t0}}, Json::object()},
  };
  for (const auto& c : cases) EXPECT_EQ(ResetEvidence::windows(c.observation), c.expected) << c.name;
}

// Each row: two readings, whether they are compared at all, and the reason
// the diagnostic gives.
TEST(ResetEvidenceTest, ComparesOnlyCloseReadingsOfOneAccountAndPlan) {
  Json before = observation(t0, window(50, t0 + 3600));
  auto later = [&](double seconds) { return observation(t0 + seconds, window(50, t0 + 3600)); };
  Json noTime = before;
  noTime.erase("observedAt");
  Json textTime = later(60);
  textTime["observedAt"] = "1800000060";
  struct Case {
    const char* name;
    std::optional<Json> previous;
    Json current;
    bool compared;
    const char* reason;
  };
  const Case cases[] = {
      {"first reading", std::nullopt, later(60), false, "baseline_missing"},
      {"a minute later", before, later(60), true, "unchanged"},
      {"just under 30 minutes", before, later(1799.5), true, "unchanged"},
      {"30 minutes", before, later(1800), false, "baseline_expired"},
      {"a day", before, later(86400), false, "baseline_expired"},
      {"same moment", before, later(0), false, "non_increasing_samples"},
      {"earlier", before, later(-60), false, "non_increasing_samples"},
      {"previous without a time", noTime, later(60), false, "non_increasing_samples"},
      {"current time not a number", before, textTime, false, "non_increasing_samples"},
      {"another e-mail", before, observation(t0 + 60, window(50, 0), nullptr, {}, "other@example.com"), false,
       "identity_missing_or_changed"},
      {"no e-mail either time", observation(t0, window(50, 0), nullptr, {}, ""),
       observation(t0 + 60, window(50, 0), nullptr, {}, ""), false, "identity_missing_or_changed"},
      {"e-mail gone", before, observation(t0 + 60, window(50, 0), nullptr, {}, nullptr), false,
       "identity_missing_or_changed"},
      {"another plan", before, observation(t0 + 60, window(50, 0), nullptr, {}, "user@example.com", "pro"), false,
       "plan_changed"},
      {"plan gone", before, observation(t0 + 60, window(50, 0), nullptr, {}, "user@example.com", nullptr), false,
       "plan_changed"},
      {"no plan either time", observation(t0, window(50, 0), nullptr, {}, "user@example.com", nullptr),
       observation(t0 + 60, window(50, 0), nullptr, {}, "user@example.com", nullptr), false, "unchanged"},
  };
  for (const auto& c : cases) {
    auto evidence = ResetEvidence::compare(c.previous, c.current);
    EXPECT_EQ(evidence.has_value(), c.compared) << c.name;
    EXPECT_EQ(ResetEvidence::diagnostic(c.previous, c.current, evidence)["reason"], c.reason) << c.name;
  }
}

// Each row: the previous and the current reading, 60 s apart, and the
// outcomes and banked stability of the evidence between them.
TEST(ResetEvidenceTest, TellsRecoveriesApart) {
  const double after = t0 + 60;
  Json grantedBetween = credit("cred-3", "available", t0 + 30);
  Json expiredGrant = grantedBetween;
  expiredGrant["expiresAt"] = after;
  Json lastingGrant = grantedBetween;
  lastingGrant["expiresAt"] = after + 1;
  Json redeemed = record(1, {credit("cred-1", "redeemed"), credit("cred-2", "available")});
  Json redeeming = record(1, {credit("cred-1", "redeeming"), credit("cred-2", "available")});
  Json many = Json::array();
  for (int i = 0; i < 257; ++i) many.push_back(credit("c" + std::to_string(i), "available"));
  const Json manySource = record(257, many);
  const Json duplicatedSource = record(2, {credit("a", "available"), credit("a", "available")});
  Json tooMany = *ResetEvidence::banked(&manySource);
  Json duplicated = *ResetEvidence::banked(&duplicatedSource);
  auto extraRecovery = [](const char* key) {
    return Json{{"kind", "extra_recovery"}, {"windowKey", key}, {"confidence", "high"}};
  };
  auto outcome = [](const char* kind, const char* key) {
    return Json{{"kind", kind}, {"windowKey", key}, {"confidence", "observed"}};
  };
  auto droppedToTen = [&](std::optional<Json> banked, Json resetsAt = t0 + 3600) {
    return observation(after, window(10, resetsAt), nullptr, banked);
  };
  auto usedEighty = [&](std::optional<Json> banked, Json resetsAt = t0 + 3600) {
    return observation(t0, window(80, resetsAt), nullptr, banked);
  };
  struct Case {
    const char* name;
    Json previous;
    Json current;
    Json outcomes;
    bool bankedStable;
  };
  const Case cases[] = {
      {"extra recovery: early drop, credits complete and unchanged",
       usedEighty(steadyCredits),
       droppedToTen(steadyCredits),
       {extraRecovery("fiveHour")},
       true},
      {"natural reset: the reset time had passed",
       usedEighty(steadyCredits, t0 + 30),
       droppedToTen(steadyCredits, t0 + 18000),
       {outcome("natural_reset", "fiveHour")},
       true},
      {"natural reset: exactly at the reset time",
       usedEighty(steadyCredits, after),
       droppedToTen(steadyCredits),
       {outcome("natural_reset", "fiveHour")},
       true},
      {"early drop while a credit was redeemed",
       usedEighty(steadyCredits),
       droppedToTen(redeemed),
       {outcome("possible_banked_redemption", "fiveHour")},
       false},
      {"early drop while a credit was being redeemed",
       usedEighty(steadyCredits),
       droppedToTen(redeeming),
       {outcome("possible_banked_redemption", "fiveHour")},
       false},
      {"redemption without a drop",
       usedEighty(steadyCredits),
       movedTo(usedEighty(redeemed), after),
       {{{"kind", "possible_banked_redemption"}, {"confidence", "observed"}}},
       false},
      {"redemption seen before is not new",
       usedEighty(redeemed),
       droppedToTen(redeemed),
       {outcome("unknown_recovery", "fiveHour")},
       false},
      {"redemption with no earlier list",
       usedEighty(Json{{"availableCount", 2}}),
       droppedToTen(redeemed),
       {outcome("possible_banked_redemption", "fiveHour")},
       false},
      {"early drop without credits",
       usedEighty(std::nullopt),
       droppedToTen(std::nullopt),
       {outcome("unknown_recovery", "fiveHour")},
       false},
      {"early drop, no reset time known",
       usedEighty(steadyCredits, nullptr),
       droppedToTen(steadyCredits, nullptr),
       {outcome("unknown_recovery", "fiveHour")},
       true},
      {"257 credits", usedEighty(tooMany), droppedToTen(tooMany), {outcome("unknown_recovery", "fiveHour")}, false},
      {"a duplicate id",
       usedEighty(duplicated),
       droppedToTen(duplicated),
       {outcome("unknown_recovery", "fiveHour")},
       false},
      {"count no longer matches",
       usedEighty(steadyCredits),
       droppedToTen(record(3, steadyCredits["credits"])),
       {outcome("unknown_recovery", "fiveHour")},
       false},
      {"usage rose", usedEighty(steadyCredits), observation(after, window(90, t0 + 3600), nullptr, steadyCredits),
       Json::array(), true},
      {"usage held", usedEighty(steadyCredits), observation(after, window(80, t0 + 3600), nullptr, steadyCredits),
       Json::array(), true},
      {"only an hour window", observation(t0, window(80, t0 + 600, 60), nullptr, steadyCredits),
       observation(after, window(10, t0 + 600, 60), nullptr, steadyCredits), Json::array(), true},
      {"both windows, in key order",
       observation(t0, window(50, t0 + 600000, 10080), window(80, t0 + 3600), steadyCredits),
       observation(after, window(5, t0 + 600000, 10080), window(10, t0 + 3600), steadyCredits),
       {extraRecovery("fiveHour"), extraRecovery("weekly")},
       true},
      {"a window without a previous one", observation(t0, nullptr, nullptr, steadyCredits), droppedToTen(steadyCredits),
       Json::array(), true},
      {"a new credit granted between the readings",
       usedEighty(steadyCredits),
       movedTo(usedEighty(record(3, {credit("cred-1", "available"), credit("cred-2", "available"), grantedBetween})),
               after),
       {{{"kind", "banked_grant"}, {"confidence", "observed"}, {"available", true}}},
       true},
      {"a grant and an early drop",
       usedEighty(steadyCredits),
       droppedToTen(record(3, {credit("cred-1", "available"), credit("cred-2", "available"), lastingGrant})),
       {{{"kind", "banked_grant"}, {"confidence", "observed"}, {"available", true}}, extraRecovery("fiveHour")},
       true},
      {"a grant that expired on arrival",
       usedEighty(steadyCredits),
       droppedToTen(record(3, {credit("cred-1", "available"), credit("cred-2", "available"), expiredGrant})),
       {{{"kind", "banked_grant"}, {"confidence", "observed"}, {"available", false}}, extraRecovery("fiveHour")},
       true},
      {"a grant into an incomplete record",
       usedEighty(steadyCredits),
       droppedToTen(record(4, {credit("cred-1", "available"), credit("cred-2", "available"), grantedBetween})),
       {{{"kind", "banked_grant"}, {"confidence", "observed"}, {"available", false}},
        outcome("unknown_recovery", "fiveHour")},
       false},
      {"a grant of the previous reading's moment is old",
       usedEighty(steadyCredits),
       droppedToTen(record(
           3, {credit("cred-1", "available"), credit("cred-2", "available"), credit("cred-3", "available", t0)})),
       {extraRecovery("fiveHour")},
       true},
      {"a grant without an earlier list",
       usedEighty(Json{{"availableCount", 2}}),
       droppedToTen(record(3, {credit("cred-1", "available"), credit("cred-2", "available"), grantedBetween})),
       {outcome("unknown_recovery", "fiveHour")},
       false},
      {"a credit gone",
       usedEighty(steadyCredits),
       droppedToTen(record(1, {credit("cred-2", "available")})),
       {outcome("unknown_recovery", "fiveHour")},
       false},
      {"a redeemed credit available again",
       usedEighty(redeemed),
       droppedToTen(steadyCredits),
       {outcome("unknown_recovery", "fiveHour")},
       false},
      {"a grant of another kind",
       usedEighty(steadyCredits),
       droppedToTen(record(3, {credit("cred-1", "available"), credit("cred-2", "available"),
                               credit("cred-3", "available", t0 + 30, "unknown")})),
       {outcome("unknown_recovery", "fiveHour")},
       false},
  };
  for (const auto& c : cases) {
    auto evidence = ResetEvidence::compare(c.previous, c.current);
    ASSERT_TRUE(evidence) << c.name;
    EXPECT_EQ((*evidence)["outcomes"], c.outcomes) << c.name;
    EXPECT_EQ((*evidence)["bankedStable"], c.bankedStable) << c.name;
    const char* reason = c.outcomes.empty() ? "unchanged" : "recovery_observed";
    EXPECT_EQ(ResetEvidence::diagnostic(c.previous, c.current, evidence)["reason"], reason) << c.name;
  }
}

TEST(ResetEvidenceTest, EvidenceNamesBothReadingsAndTheBaseline) {
  Json previous = observation(t0, window(80, t0 + 3600), window(30, t0 + 600000, 10080), steadyCredits);
  Json current = observation(t0 + 60, window(10, t0 + 3600), window(30, t0 + 600000, 10080), steadyCredits);
  auto evidence = ResetEvidence::compare(previous, current);
  ASSERT_TRUE(evidence);
  std::string id = (*evidence)["id"];
  EXPECT_TRUE(isUUID(id)) << id;
  for (char c : id) EXPECT_FALSE(std::islower(static_cast<unsigned char>(c))) << id;
  EXPECT_NE(ResetEvidence::compare(previous, current)->at("id"), id);
  Json rest = *evidence;
  rest.erase("id");
  EXPECT_EQ(rest, (Json{{"version", 1},
                        {"beforeAt", t0},
                        {"observedAt", t0 + 60},
                        {"bankedStable", true},
                        {"outcomes", {{{"kind", "extra_recovery"}, {"windowKey", "fiveHour"}, {"confidence", "high"}}}},
                        {"baseline", ResetEvidence::windows(previous)}}));
  EXPECT_EQ(ResetEvidence::diagnostic(previous, current, evidence), (Json{{"reason", "recovery_observed"},
                                                                          {"beforeAt", t0},
                                                                          {"before", ResetEvidence::windows(previous)},
                                                                          {"beforeBankedComplete", true},
                                                                          {"afterBankedComplete", true}}));
  EXPECT_EQ(ResetEvidence::diagnostic(std::nullopt, current, std::nullopt), (Json{{"reason", "baseline_missing"},
                                                                                  {"beforeAt", nullptr},
                                                                                  {"before", Json::object()},
                                                                                  {"beforeBankedComplete", false},
                                                                                  {"afterBankedComplete", true}}));
}

// Readings of random windows and credits: never evidence once 1800 s or more
// apart, always evidence when closer (same account and plan).
TEST(ResetEvidenceTest, ReadingsHalfAnHourApartAreNeverCompared) {
  std::mt19937_64 random(20260101);
  auto pick = [&](double low, double high) { return std::uniform_real_distribution<double>(low, high)(random); };
  auto anyBanked = [&]() -> std::optional<Json> {
    switch (random() % 4) {
      case 0:
        return std::nullopt;
      case 1:
        return steadyCredits;
      case 2:
        return record(1, {credit("cred-1", "redeemed"), credit("cred-2", "available")});
      default:
        return record(3, {credit("cred-1", "available"), credit("cred-2", "available"),
                          credit("cred-3", "available", t0 + pick(0, 4000))});
    }
  };
  auto anyReading = [&](double at) {
    return observation(at, window(pick(0, 100), t0 + pick(-4000, 4000)),
                       window(pick(0, 100), t0 + pick(-4000, 4000), 10080), anyBanked());
  };
  for (int i = 0; i < 2000; ++i) {
    Json previous = anyReading(t0);
    double gap = i % 2 ? pick(1800, 1e7) : pick(0.001, 1799.999);
    if (i % 10 == 0) gap = 1800;
    Json current = anyReading(t0 + gap);
    auto evidence = ResetEvidence::compare(previous, current);
    EXPECT_EQ(evidence.has_value(), gap < 1800) << gap;
    if (gap >= 1800) {
      EXPECT_EQ(ResetEvidence::diagnostic(previous, current, evidence)["reason"], "baseline_expired");
    }
  }
}

class ObservationFileTest : public ::testing::Test {
 protected:
  Json summary(double used) {
    Json limits = {
        {"rateLimits", {{"limitId", "codex"}, {"primary", window(used, t0 + 3600)}, {"secondary", nullptr}}}};
    return {{"planType", "plus"}, {"email", "user@example.com"}, {"rateLimits", limits}};
  }

  TemporaryDirectory home;
  fs::path file = ResetEvidence::observationFile(home.path());
  Json raw = *parseJSON(test::rateLimitsWithCredits);
};

TEST_F(ObservationFileTest, EachReadIsComparedWithTheOneBefore) {
  EXPECT_EQ(file, home / "corvane-observation.json");
  Json first = summary(80);
  first["resetEvidence"] = {{"outcomes", Json::array()}};  // left over from somewhere: not this reading's
  ResetEvidence::observe(first, raw, file, wallTime(t0));
  EXPECT_EQ(first["_resetDiagnostic"]["reason"], "baseline_missing");
  EXPECT_FALSE(first.contains("resetEvidence"));
  struct stat info {};
  ASSERT_EQ(lstat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(ResetEvidence::readObservation(file), ResetEvidence::sample(summary(80), raw, wallTime(t0)));

  Json second = summary(10);
  ResetEvidence::observe(second, raw, file, wallTime(t0 + 60));
  EXPECT_EQ(second["_resetDiagnostic"]["reason"], "recovery_observed");
  EXPECT_EQ(second["resetEvidence"]["outcomes"],
            Json::parse(R"([{"kind":"extra_recovery","windowKey":"fiveHour","confidence":"high"}])"));
  EXPECT_EQ(second["resetEvidence"]["beforeAt"], t0);
  EXPECT_EQ(ResetEvidence::readObservation(file)->at("observedAt"), t0 + 60);
}

TEST_F(ObservationFileTest, UnusableContentCountsAsNoPreviousReadingAndIsReplaced) {
  const std::string contents[] = {
      "",
      "{\"observedAt\":",
      "[1,2]",
      "\"text\"",
      std::string(ResetEvidence::observationFileLimit + 1, ' '),
      std::string(100, '[') + std::string(100, ']'),
  };
  for (const auto& content : contents) {
    writeFile(file, content);
    Json sample = summary(50);
    ResetEvidence::observe(sample, raw, file, wallTime(t0));
    EXPECT_EQ(sample["_resetDiagnostic"]["reason"], "baseline_missing") << content.substr(0, 20);
    EXPECT_TRUE(ResetEvidence::readObservation(file)) << content.substr(0, 20);
  }
}

TEST_F(ObservationFileTest, TheLargestObservationReadsBack) {
  Json credits = Json::array();
  for (int i = 0; i < 256; ++i) {
    std::string id = std::to_string(i) + "-";
    while (id.size() < 512) id += "\x01";  // written out as \u0001: six bytes each
    credits.push_back(credit(id, "available"));
  }
  Json big = raw;
  big["rateLimitResetCredits"] = record(256, credits);
  Json sample = summary(50);
  ResetEvidence::observe(sample, big, file, wallTime(t0));
  EXPECT_GT(fs::file_size(file), 512u * 1024);
  auto kept = ResetEvidence::readObservation(file);
  ASSERT_TRUE(kept);
  EXPECT_EQ((*kept)["banked"]["credits"].size(), 256u);
  ResetEvidence::observe(sample, big, file, wallTime(t0 + 60));
  EXPECT_EQ(sample["_resetDiagnostic"]["reason"], "unchanged");
  EXPECT_EQ(sample["_resetDiagnostic"]["beforeBankedComplete"], true);
}

TEST_F(ObservationFileTest, ALinkOrSomethingUnreadableFailsTheReadAndIsLeftAlone) {
  fs::path target = home / "elsewhere.json";
  writeFile(target, R"({"observedAt":1})");
  struct Case {
    const char* name;
    std::function<void()> plant;
  };
  const Case cases[] = {
      {"link to a file", [&] { fs::create_symlink(target, file); }},
      {"dangling link", [&] { fs::create_symlink(home / "nowhere.json", file); }},
      {"directory", [&] { fs::create_directory(file); }},
      {"FIFO", [&] { mkfifo(file.c_str(), 0600); }},
  };
  for (const auto& c : cases) {
    fs::remove_all(file);
    c.plant();
    Json sample = summary(50);
    EXPECT_EQ(errorOf([&] { ResetEvidence::observe(sample, raw, file, wallTime(t0)); }), CVError::storage()) << c.name;
    EXPECT_EQ(sample, summary(50)) << c.name;
    EXPECT_EQ(readFile(target), R"({"observedAt":1})") << c.name;
    EXPECT_FALSE(fs::exists(home / "nowhere.json")) << c.name;
  }
}

TEST_F(ObservationFileTest, AFailedWriteFailsTheRead) {
  fs::path gone = home / "removed-home" / "corvane-observation.json";
  Json sample = summary(50);
  EXPECT_EQ(errorOf([&] { ResetEvidence::observe(sample, raw, gone, wallTime(t0)); }), CVError::storage());
  EXPECT_EQ(sample, summary(50));
}

}  // namespace
}  // namespace corvane
