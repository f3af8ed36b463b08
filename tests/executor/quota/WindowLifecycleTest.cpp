#include "executor/quota/WindowLifecycle.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "executor/quota/QuotaWhitelist.h"
#include "executor/quota/Readings.h"
#include "executor/quota/ResetEvidence.h"
#include "executor/quota/RuntimeAnswers.h"
#include "executor/support/PrivateFiles.h"
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
const double fiveHours = 18000;

Json summary(Json primary, Json secondary = nullptr, Json email = "user@example.com", Json plan = "plus") {
  Json limits = {{"rateLimits", {{"limitId", "codex"}, {"primary", primary}, {"secondary", secondary}}}};
  Json result = {{"planType", plan}, {"rateLimits", limits}};
  if (!email.is_null()) result["email"] = email;
  return result;
}

class WindowLifecycleTest : public ::testing::Test {
 protected:
  Json record(const Json& sample, double at) { return WindowLifecycle::record(sample, file, wallTime(at)); }
  Json stored() { return readJSONObjectFile(file, WindowLifecycle::stateFileLimit).value_or(Json()); }
  Json storedWindow(const char* key = "fiveHour") { return stored()["windows"][key]; }

  TemporaryDirectory home;
  fs::path file = WindowLifecycle::stateFile(home.path());
};

// Each row: a series of readings of the five-hour window and what each one
// makes of it.
TEST_F(WindowLifecycleTest, PhasesFollowTheResetTimeAndTheUsage) {
  struct Reading {
    double at;  // seconds after t0
    double used;
    double resetsAt;  // seconds after t0
    const char* state;
    int64_t driftCount;
  };
  struct Series {
    const char* name;
    std::vector<Reading> readings;
  };
  // The reset time floats one full window ahead of three readings 30 s apart.
  const std::vector<Reading> floating = {
      {0, 0, fiveHours, "unknown", 0},
      {30, 0, 30 + fiveHours, "unknown", 1},
      {60, 0, 60 + fiveHours, "waiting", 2},
  };
  auto after = [&](std::vector<Reading> more) {
    std::vector<Reading> all = floating;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  const Series series[] = {
      {"drifting with the clock, then held still", after({{65, 0, 60 + fiveHours, "waiting", 2},
                                                          {75, 0, 60 + fiveHours, "active", 0},
                                                          {90, 0, 60 + fiveHours, "active", 0}})},
      {"held still for 15 s straight after the drift", after({{75, 0, 60 + fiveHours, "active", 0}})},
      // No longer a full window ahead, not yet held for 15 s: not known.
      {"held still for 14 s", after({{74, 0, 60 + fiveHours, "unknown", 0}})},
      {"still floating", after({{90, 0, 90 + fiveHours, "waiting", 3}})},
      {"usage starts the window at once", after({{70, 3, 60 + fiveHours, "active", 0}})},
      {"a reading 1801 s later starts over", after({{1861, 0, 1861 + fiveHours, "unknown", 0}})},
      {"a reading exactly 1800 s later still counts", after({{1860, 0, 1860 + fiveHours, "waiting", 3}})},
      {"a reading at the same moment starts over", after({{60, 0, 60 + fiveHours, "unknown", 0}})},
      {"a reading from the past starts over", after({{50, 0, 50 + fiveHours, "unknown", 0}})},
      {"usage before the reset time", {{0, 5, 3600, "active", 0}}},
      {"usage after the reset time", {{0, 5, -1, "unknown", 0}}},
      {"usage without a reset time", {{0, 5, NAN, "unknown", 0}}},
      {"a reset time held still for 15 s",
       {{0, 0, 1000, "unknown", 0},
        {10, 0, 1000, "unknown", 0},
        {15, 0, 1000, "active", 0},
        {16, 0, 1000, "active", 0},
        {999, 0, 1000, "active", 0},
        {1000, 0, 1000, "unknown", 0}}},
      {"a reset time that moves but not with the clock",
       {{0, 0, 3600, "unknown", 0}, {30, 0, 3700, "unknown", 0}, {60, 0, 3800, "unknown", 0}}},
      {"drifting for less than 20 s",
       {{0, 0, fiveHours, "unknown", 0},
        {5, 0, 5 + fiveHours, "unknown", 1},
        {10, 0, 10 + fiveHours, "unknown", 2},
        {20, 0, 20 + fiveHours, "waiting", 3}}},
      {"drifting, but something was used",
       {{0, 1, fiveHours, "active", 0}, {30, 0, 30 + fiveHours, "unknown", 0}, {60, 0, 60 + fiveHours, "unknown", 1}}},
      {"a full window ahead within 8 s",
       {{0, 0, fiveHours - 8, "unknown", 0}, {30, 0, 30 + fiveHours + 8, "unknown", 1}}},
      {"more than 8 s off a full window",
       {{0, 0, fiveHours - 8.5, "unknown", 0}, {30, 0, 30 + fiveHours, "unknown", 0}}},
  };
  for (const auto& s : series) {
    fs::remove(file);
    for (size_t i = 0; i < s.readings.size(); ++i) {
      const auto& r = s.readings[i];
      Json resetsAt = std::isnan(r.resetsAt) ? Json() : Json(t0 + r.resetsAt);
      Json states = record(summary(window(r.used, resetsAt)), t0 + r.at);
      EXPECT_EQ(states, (Json{{"fiveHour", r.state}})) << s.name << ", reading " << i + 1;
      EXPECT_EQ(storedWindow()["driftCount"], r.driftCount) << s.name << ", reading " << i + 1;
    }
  }
}

TEST_F(WindowLifecycleTest, HistoryCarriesItsTimesUntilItStartsOver) {
  for (double at : {0, 30, 60}) record(summary(window(0, t0 + at + fiveHours)), t0 + at);
  record(summary(window(0, t0 + 60 + fiveHours)), t0 + 65);
  // Waiting: held still since the third reading, drifting since the first.
  EXPECT_EQ(storedWindow()["state"], "waiting");
  EXPECT_EQ(storedWindow()["candidateAt"], t0 + 60);
  EXPECT_EQ(storedWindow()["driftAt"], t0);
  record(summary(window(0, t0 + 65 + 1801 + fiveHours)), t0 + 65 + 1801);
  EXPECT_EQ(storedWindow()["candidateAt"], t0 + 1866);
  EXPECT_EQ(storedWindow()["driftAt"], t0 + 1866);
  EXPECT_EQ(storedWindow()["driftCount"], 0);
}

// A whole quota read as the Codex adapter makes it, from a real answer.
TEST_F(WindowLifecycleTest, ARealAnswerBecomesASample) {
  Json raw = *parseJSON(test::rateLimitsWithCredits);
  const double readAt = 1796857858;  // when the runtime gave that answer
  Json sample = {{"planType", "plus"}, {"email", "user@example.com"}, {"rateLimits", quotaWhitelist(raw)}};
  sample["windowStates"] = record(sample, readAt);
  EXPECT_EQ(sample["windowStates"], (Json{{"fiveHour", "active"}, {"weekly", "active"}}));
  fs::path observations = ResetEvidence::observationFile(home.path());
  ResetEvidence::observe(sample, raw, observations, wallTime(readAt));
  EXPECT_EQ(sample["_resetDiagnostic"]["reason"], "baseline_missing");
  EXPECT_EQ(sample["_resetDiagnostic"]["afterBankedComplete"], true);

  // Fifteen seconds later nothing has changed, so neither has the fingerprint.
  Json again = {{"planType", "plus"}, {"email", "user@example.com"}, {"rateLimits", quotaWhitelist(raw)}};
  again["windowStates"] = record(again, readAt + 15);
  ResetEvidence::observe(again, raw, observations, wallTime(readAt + 15));
  EXPECT_EQ(again["_resetDiagnostic"]["reason"], "unchanged");
  EXPECT_EQ(again["resetEvidence"]["bankedStable"], true);
  EXPECT_EQ(again["resetEvidence"]["outcomes"], Json::array());
  Json withoutEvidence = sample;
  withoutEvidence["resetEvidence"] = {{"bankedStable", true}};
  EXPECT_EQ(WindowLifecycle::fingerprint(again), WindowLifecycle::fingerprint(withoutEvidence));
}

TEST_F(WindowLifecycleTest, KeepsOneRecordPerWindowOfTheLatestReading) {
  Json states = record(summary(window(0, t0 + fiveHours), window(10, t0 + 86400, 10080)), t0);
  EXPECT_EQ(states, (Json{{"fiveHour", "unknown"}, {"weekly", "active"}}));
  EXPECT_EQ(stored(), Json::parse(R"({"email":"user@example.com","planType":"plus","windows":{
      "fiveHour":{"at":1800000000.0,"reset":1800018000.0,"used":0.0,"candidateAt":1800000000.0,
                  "nearFullDuration":true,"driftAt":1800000000.0,"driftCount":0,"state":"unknown"},
      "weekly":{"at":1800000000.0,"reset":1800086400.0,"used":10.0,"candidateAt":1800000000.0,
                "nearFullDuration":false,"driftAt":1800000000.0,"driftCount":0,"state":"active"}}})"));
  struct stat info {};
  ASSERT_EQ(lstat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  // An hour window replaces both; the older keys go.
  EXPECT_EQ(record(summary(window(0, nullptr, 60)), t0 + 30), (Json{{"duration_60", "unknown"}}));
  EXPECT_EQ(stored()["windows"].size(), 1u);
  EXPECT_EQ(storedWindow("duration_60")["reset"], nullptr);
}

TEST_F(WindowLifecycleTest, WindowsWithoutAUsableLengthOrUsageAreLeftOut) {
  struct Case {
    const char* name;
    Json sample;
    Json states;
  };
  Json mapped = summary(window(50, t0 + 60));
  mapped["rateLimits"]["rateLimitsByLimitId"] = {{"codex", {{"primary", window(10, t0 + 60, 10080)}}}};
  const Case cases[] = {
      {"the same length twice: secondary", summary(window(0, t0 + 60), window(7, t0 + 60)), {{"fiveHour", "active"}}},
      {"the limit map's bucket first", mapped, {{"weekly", "active"}}},
      {"no usage", summary({{"windowDurationMins", 300}}, window(5, t0 + 60, 60)), {{"duration_60", "active"}}},
      {"usage not a number", summary(window(true, t0 + 60)), Json::object()},
      {"no length", summary(window(5, t0 + 60, nullptr)), Json::object()},
      {"a fractional length", summary(window(5, t0 + 60, 2.5)), Json::object()},
      {"a length of 2^63 minutes", summary(window(5, t0 + 60, 9223372036854775808.0)), Json::object()},
      {"a length of 2^64 - 1 minutes", summary(window(5, t0 + 60, std::numeric_limits<uint64_t>::max())),
       Json::object()},
      {"a length of 1e300 minutes", summary(window(5, t0 + 60, 1e300)), Json::object()},
      {"the largest length there is a key for",
       summary(window(5, t0 + 60, std::numeric_limits<int64_t>::max())),
       {{"duration_9223372036854775807", "active"}}},
      {"a window that is not an object", summary("x", 7), Json::object()},
      {"no rate limits", Json{{"planType", "plus"}}, Json::object()},
  };
  for (const auto& c : cases) {
    fs::remove(file);
    EXPECT_EQ(record(c.sample, t0), c.states) << c.name;
    EXPECT_EQ(stored()["windows"].size(), c.states.size()) << c.name;
  }
}

TEST_F(WindowLifecycleTest, AnotherAccountOrPlanStartsEveryWindowOver) {
  struct Case {
    const char* name;
    Json email;  // of the second reading; the first has "user@example.com" and "plus"
    Json plan;
    int64_t driftCount;
  };
  const Case cases[] = {
      {"same account and plan", "user@example.com", "plus", 1},
      {"another e-mail", "other@example.com", "plus", 0},
      {"the e-mail in other letters", "User@Example.com", "plus", 0},
      {"no e-mail any more", nullptr, "plus", 0},
      {"another plan", "user@example.com", "pro", 0},
  };
  for (const auto& c : cases) {
    fs::remove(file);
    record(summary(window(0, t0 + fiveHours)), t0);
    record(summary(window(0, t0 + 30 + fiveHours), nullptr, c.email, c.plan), t0 + 30);
    EXPECT_EQ(storedWindow()["driftCount"], c.driftCount) << c.name;
    EXPECT_EQ(stored()["email"], c.email) << c.name;
  }
  // No e-mail either time is one account.
  fs::remove(file);
  record(summary(window(0, t0 + fiveHours), nullptr, nullptr), t0);
  record(summary(window(0, t0 + 30 + fiveHours), nullptr, nullptr), t0 + 30);
  EXPECT_EQ(storedWindow()["driftCount"], 1);
}

TEST_F(WindowLifecycleTest, AStoredStateOfAnyShapeIsReadSafely) {
  auto withRecord = [](Json fields) {
    Json fiveHour = {{"at", t0 - 30},
                     {"reset", t0 - 30 + fiveHours},
                     {"used", 0},
                     {"candidateAt", t0 - 30},
                     {"nearFullDuration", true},
                     {"driftAt", t0 - 60},
                     {"driftCount", 1},
                     {"state", "unknown"}};
    fiveHour.update(fields);
    return Json{{"email", "user@example.com"}, {"planType", "plus"}, {"windows", {{"fiveHour", fiveHour}}}}.dump();
  };
  const int64_t most = std::numeric_limits<int64_t>::max();
  struct Case {
    const char* name;
    std::string content;
    const char* state;
    int64_t driftCount;
  };
  const Case cases[] = {
      {"a sound record", withRecord(Json::object()), "waiting", 2},
      {"a drift count at the top of the range", withRecord({{"driftCount", most}}), "waiting", most},
      {"a drift count beyond it", withRecord({{"driftCount", 1e300}}), "unknown", 1},
      {"a drift count as text", withRecord({{"driftCount", "9"}}), "unknown", 1},
      {"a negative drift count", withRecord({{"driftCount", -5}}), "unknown", -4},
      {"no drift time", withRecord({{"driftAt", nullptr}}), "waiting", 2},
      {"near-full as a number", withRecord({{"nearFullDuration", 1}}), "unknown", 0},
      {"used as text", withRecord({{"used", "0"}}), "unknown", 0},
      {"a reading time as text", withRecord({{"at", "yesterday"}}), "unknown", 0},
      {"a reading time in the far future", withRecord({{"at", 1e300}}), "unknown", 0},
      {"a record that is not an object", R"({"email":"user@example.com","planType":"plus","windows":{"fiveHour":7}})",
       "unknown", 0},
      {"windows that are not an object", R"({"email":"user@example.com","planType":"plus","windows":[1]})", "unknown",
       0},
      {"not JSON", "{\"windows\":", "unknown", 0},
      {"a list", "[]", "unknown", 0},
      {"nested too deeply", std::string(100, '[') + std::string(100, ']'), "unknown", 0},
      {"too large", std::string(WindowLifecycle::stateFileLimit + 1, ' '), "unknown", 0},
  };
  for (const auto& c : cases) {
    writeFile(file, c.content);
    EXPECT_EQ(record(summary(window(0, t0 + fiveHours)), t0), (Json{{"fiveHour", c.state}})) << c.name;
    EXPECT_EQ(storedWindow()["driftCount"], c.driftCount) << c.name;
  }
}

TEST_F(WindowLifecycleTest, ALinkInPlaceOfTheFileFailsAndIsLeftAlone) {
  fs::path target = home / "elsewhere.json";
  writeFile(target, "{}");
  fs::create_symlink(target, file);
  EXPECT_EQ(errorOf([&] { record(summary(window(5, t0 + 60)), t0); }), CVError::storage());
  EXPECT_EQ(readFile(target), "{}");
  EXPECT_TRUE(fs::is_symlink(file));
  fs::remove(file);
  fs::create_symlink(home / "nowhere.json", file);
  EXPECT_EQ(errorOf([&] { record(summary(window(5, t0 + 60)), t0); }), CVError::storage());
  EXPECT_FALSE(fs::exists(home / "nowhere.json"));
}

TEST_F(WindowLifecycleTest, AStateThatCannotBeWrittenFailsTheReading) {
  fs::create_directory(file);  // read as no state, but nothing can replace it
  EXPECT_EQ(errorOf([&] { record(summary(window(5, t0 + 60)), t0); }), CVError::storage());
  EXPECT_EQ(errorOf([&] {
              WindowLifecycle::record(summary(window(5, t0 + 60)), home / "gone" / "state.json", wallTime(t0));
            }),
            CVError::storage());
  mkfifo((home / "fifo").c_str(), 0600);  // never waited on, and replaced
  EXPECT_EQ(WindowLifecycle::record(summary(window(5, t0 + 60)), home / "fifo", wallTime(t0)),
            (Json{{"fiveHour", "active"}}));
  EXPECT_TRUE(fs::is_regular_file(home / "fifo"));
}

Json sampleOf(Json primary, Json secondary, Json states, std::optional<Json> evidence = {}) {
  Json sample = summary(primary, secondary);
  sample["rateLimits"]["rateLimitsByLimitId"] = {{"codex", sample["rateLimits"]["rateLimits"]}};
  sample["windowStates"] = states;
  sample["_resetDiagnostic"] = {{"reason", "unchanged"}, {"beforeAt", t0 - 60}};
  if (evidence) sample["resetEvidence"] = *evidence;
  return sample;
}

TEST(WindowLifecycleFingerprint, IgnoresTheFloatingResetTimeOfAWindowNotActive) {
  struct Case {
    const char* name;
    const char* state;  // of the five-hour window
    bool sameWhenOnlyTheResetMoves;
  };
  const Case cases[] = {
      {"waiting", "waiting", true},
      {"unknown", "unknown", true},
      {"active", "active", false},
  };
  Json weekly = window(20, t0 + 86400, 10080);
  for (const auto& c : cases) {
    Json states = {{"fiveHour", c.state}, {"weekly", "active"}};
    auto one = WindowLifecycle::fingerprint(sampleOf(window(0, t0 + fiveHours), weekly, states));
    auto other = WindowLifecycle::fingerprint(sampleOf(window(0, t0 + 30 + fiveHours), weekly, states));
    EXPECT_EQ(one == other, c.sameWhenOnlyTheResetMoves) << c.name;
    // Usage always counts, and so do the phases themselves.
    EXPECT_NE(one, WindowLifecycle::fingerprint(sampleOf(window(1, t0 + fiveHours), weekly, states))) << c.name;
  }
  auto waiting = WindowLifecycle::fingerprint(
      sampleOf(window(0, t0 + fiveHours), weekly, {{"fiveHour", "waiting"}, {"weekly", "active"}}));
  auto unknown = WindowLifecycle::fingerprint(
      sampleOf(window(0, t0 + fiveHours), weekly, {{"fiveHour", "unknown"}, {"weekly", "active"}}));
  EXPECT_NE(waiting, unknown);
  // The active weekly window's reset time counts.
  Json states = {{"fiveHour", "waiting"}, {"weekly", "active"}};
  EXPECT_NE(WindowLifecycle::fingerprint(sampleOf(window(0, t0), weekly, states)),
            WindowLifecycle::fingerprint(sampleOf(window(0, t0), window(20, t0 + 86401, 10080), states)));
}

TEST(WindowLifecycleFingerprint, IsTheSampleWithoutEvidenceButWithItsBankedStability) {
  Json evidence = {{"version", 1},
                   {"id", "8C1D6E1A-0F0B-4C55-9E3B-0D7C51D2A9F0"},
                   {"bankedStable", true},
                   {"outcomes", Json::array()}};
  Json sample = sampleOf(window(42, t0 + 600), nullptr, {{"fiveHour", "active"}}, evidence);
  sample["email"] = "a/b@example.com";
  EXPECT_EQ(WindowLifecycle::fingerprint(sample),
            R"({"bankedStable":true,"email":"a/b@example.com","planType":"plus","rateLimits":{)"
            R"("rateLimits":{"limitId":"codex","primary":{"resetsAt":1800000600.0,"usedPercent":42,)"
            R"("windowDurationMins":300},"secondary":null},"rateLimitsByLimitId":{"codex":{"limitId":"codex",)"
            R"("primary":{"resetsAt":1800000600.0,"usedPercent":42,"windowDurationMins":300},"secondary":null}}},)"
            R"("windowStates":{"fiveHour":"active"}})");

  Json otherEvidence = evidence;
  otherEvidence["id"] = "00000000-0000-4000-8000-000000000000";
  otherEvidence["outcomes"] = {{{"kind", "natural_reset"}, {"windowKey", "fiveHour"}, {"confidence", "observed"}}};
  Json same = sample;
  same["resetEvidence"] = otherEvidence;
  same["_resetDiagnostic"] = {{"reason", "recovery_observed"}};
  EXPECT_EQ(WindowLifecycle::fingerprint(same), WindowLifecycle::fingerprint(sample));

  Json unstable = sample;
  unstable["resetEvidence"]["bankedStable"] = false;
  EXPECT_NE(WindowLifecycle::fingerprint(unstable), WindowLifecycle::fingerprint(sample));
  Json none = sample;
  none.erase("resetEvidence");
  EXPECT_NE(WindowLifecycle::fingerprint(none).find(R"("bankedStable":null)"), std::string::npos);
}

TEST(WindowLifecycleFingerprint, LeavesWindowsWithoutANumericLengthAlone) {
  Json sample = summary({{"usedPercent", 0}, {"resetsAt", t0}}, window(0, t0, 1e300));
  sample["windowStates"] = Json::object();
  Json reduced = Json::parse(WindowLifecycle::fingerprint(sample));
  EXPECT_EQ(reduced["rateLimits"]["rateLimits"]["primary"]["resetsAt"], t0);
  EXPECT_FALSE(reduced["rateLimits"]["rateLimits"]["secondary"].contains("resetsAt"));
  Json broken = sample;
  broken["planType"] = std::nan("");
  EXPECT_EQ(errorOf([&] { WindowLifecycle::fingerprint(broken); }), CVError::invalid("Invalid JSON"));
}

// Writes value with the members of every object in a random order.
std::string shuffled(const Json& value, std::mt19937& random) {
  if (!value.is_object() && !value.is_array()) return value.dump();
  std::string out = value.is_object() ? "{" : "[";
  std::vector<std::string> parts;
  if (value.is_object()) {
    for (const auto& [key, member] : value.items()) parts.push_back(Json(key).dump() + ":" + shuffled(member, random));
    std::shuffle(parts.begin(), parts.end(), random);
  } else {
    for (const auto& element : value) parts.push_back(shuffled(element, random));
  }
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? "," : "") + parts[i];
  return out + (value.is_object() ? "}" : "]");
}

TEST(WindowLifecycleFingerprint, NeverDependsOnKeyOrder) {
  std::mt19937 random(11);
  Json whitelisted = quotaWhitelist(*parseJSON(test::rateLimitsWithCredits));
  const char* phases[] = {"active", "waiting", "unknown"};
  for (int round = 0; round < 100; ++round) {
    Json sample = {{"planType", "plus"},
                   {"email", "user@example.com"},
                   {"rateLimits", whitelisted},
                   {"windowStates", {{"fiveHour", phases[random() % 3]}, {"weekly", phases[random() % 3]}}},
                   {"_resetDiagnostic", {{"reason", "unchanged"}}}};
    if (round % 2) sample["resetEvidence"] = {{"bankedStable", round % 4 == 1}, {"outcomes", Json::array()}};
    auto expected = WindowLifecycle::fingerprint(sample);
    for (int order = 0; order < 5; ++order) {
      std::string text = shuffled(sample, random);
      auto reread = parseJSON(text);
      ASSERT_TRUE(reread) << text;
      EXPECT_EQ(WindowLifecycle::fingerprint(*reread), expected) << text;
    }
  }
}

}  // namespace
}  // namespace corvane
