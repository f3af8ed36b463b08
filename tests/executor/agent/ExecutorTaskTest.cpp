#include "executor/agent/ExecutorTask.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "executor/agent/QuotaSamplingPlan.h"
#include "executor/support/CVError.h"
#include "support/ErrorOf.h"

namespace corvane {
namespace {

using test::errorOf;

Json offer() {
  return Json{{"id", "task-1"},          {"accountId", "acct"}, {"credentialId", "cred"},
              {"bindingVersion", 3},     {"action", "read"},    {"expiresAt", "2026-01-02T03:04:05Z"},
              {"ignored", Json::array()}};
}

struct OfferCase {
  const char* name;
  const char* key;
  Json value;  // a discarded value removes the key
  std::optional<CVError> error;
};

TEST(ExecutorTaskTest, ValidatesEveryMemberOfAnOffer) {
  const Json removed = Json(Json::value_t::discarded);
  const std::vector<OfferCase> cases = {
      {"whole-valued double version", "bindingVersion", 1.0, std::nullopt},
      {"fractional version", "bindingVersion", 1.5, CVError::invalid("Invalid binding version")},
      {"zero version", "bindingVersion", 0, CVError::invalid("Invalid binding version")},
      {"negative version", "bindingVersion", -1, CVError::invalid("Invalid binding version")},
      {"boolean version", "bindingVersion", true, CVError::invalid("Invalid binding version")},
      {"string version", "bindingVersion", "1", CVError::invalid("Invalid binding version")},
      {"version beyond 64 bits", "bindingVersion", 1e19, CVError::invalid("Invalid binding version")},
      {"id with a blank", "id", "task 1", CVError::invalid("Invalid task ID")},
      {"id of 129 bytes", "id", std::string(129, 'a'), CVError::invalid("Invalid task ID")},
      {"id of 128 letters", "id", std::string(128, 'a'), std::nullopt},
      {"credential with a slash", "credentialId", "a/b", CVError::invalid("Invalid task ID")},
      {"missing account", "accountId", removed, CVError::invalid("Missing accountId")},
      {"empty id", "id", "", CVError::invalid("Missing id")},
      {"manual_ping action", "action", "manual_ping", CVError::invalid("Unsupported task")},
      {"triggers not an array", "payload", Json{{"triggers", "x"}}, CVError::invalid("Invalid task payload")},
      {"payload not an object", "payload", Json::array(), CVError::invalid("Invalid JSON object")},
      {"bad expiry", "expiresAt", "tomorrow", CVError::invalid("Invalid time")},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.name);
    Json body = offer();
    if (entry.value.is_discarded())
      body.erase(entry.key);
    else
      body[entry.key] = entry.value;
    EXPECT_EQ(errorOf([&] { ExecutorTask task(body); }), entry.error);
  }
}

TEST(ExecutorTaskTest, OnlyAPingWithTriggersIsAutomatic) {
  Json ping = offer();
  ping["action"] = "ping";
  EXPECT_FALSE(ExecutorTask(ping).automatic);
  ping["payload"] = {{"triggers", Json::array()}};
  EXPECT_FALSE(ExecutorTask(ping).automatic);
  ping["payload"] = {{"triggers", Json::array({Json{{"kind", "reset"}}})}};
  EXPECT_TRUE(ExecutorTask(ping).automatic);

  Json read = offer();
  read["payload"] = ping["payload"];
  EXPECT_FALSE(ExecutorTask(read).automatic);

  ExecutorTask task(offer());
  EXPECT_EQ(task.id, "task-1");
  EXPECT_EQ(task.bindingVersion, 3);
  EXPECT_EQ(task.action, TaskAction::read);
  EXPECT_EQ(formatTime(task.expiresAt), "2026-01-02T03:04:05Z");
}

Json plan() {
  return Json{{"accountId", "acct"},
              {"credentialId", "cred"},
              {"bindingVersion", 2},
              {"intervalSeconds", 60},
              {"validUntil", "2026-01-02T03:04:05Z"}};
}

TEST(QuotaSamplingPlanTest, RefusesEverythingButTheExactForm) {
  const Json removed = Json(Json::value_t::discarded);
  const CVError invalid = CVError::invalid("Invalid quota sampling plan");
  const std::vector<OfferCase> cases = {
      {"interval 300", "intervalSeconds", 300, std::nullopt},
      {"interval 300.0", "intervalSeconds", 300.0, std::nullopt},
      {"interval 120", "intervalSeconds", 120, invalid},
      {"interval as text", "intervalSeconds", "60", invalid},
      {"version 0", "bindingVersion", 0, invalid},
      {"version 1.5", "bindingVersion", 1.5, invalid},
      {"version true", "bindingVersion", true, invalid},
      {"version beyond 64 bits", "bindingVersion", 18446744073709551615ULL, invalid},
      {"account missing", "accountId", removed, CVError::invalid("Missing accountId")},
      {"credential empty", "credentialId", "", CVError::invalid("Missing credentialId")},
      {"account not an identifier", "accountId", "a b", invalid},
      {"foreground null", "foregroundUntil", nullptr, std::nullopt},
      {"foreground a number", "foregroundUntil", 5, invalid},
      {"reset unparsable", "nextResetAt", "soon", CVError::invalid("Invalid time")},
      {"valid-until missing", "validUntil", removed, CVError::invalid("Missing time")},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.name);
    Json body = plan();
    if (entry.value.is_discarded())
      body.erase(entry.key);
    else
      body[entry.key] = entry.value;
    EXPECT_EQ(errorOf([&] { QuotaSamplingPlan parsed(body); }), entry.error);
  }

  Json full = plan();
  full["foregroundUntil"] = "2026-01-02T03:00:00Z";
  full["nextResetAt"] = "2026-01-02T04:00:00.5Z";
  QuotaSamplingPlan parsed(full);
  EXPECT_EQ(parsed.interval, 60);
  ASSERT_TRUE(parsed.foregroundUntil && parsed.nextResetAt);
  EXPECT_EQ(formatTime(*parsed.foregroundUntil), "2026-01-02T03:00:00Z");
  EXPECT_FALSE(QuotaSamplingPlan(plan()).foregroundUntil);
}

}  // namespace
}  // namespace corvane
