#include "executor/state/AgentHealth.h"

#include <gtest/gtest.h>

#include <chrono>

namespace corvane {
namespace {

AgentHealth withState(AgentHealthState state) {
  AgentHealth health;
  health.state = state;
  return health;
}

using namespace std::chrono_literals;

const WallTime written = WallTime{} + 1769847300s;  // 2026-01-31T08:15:00Z

TEST(AgentHealthTest, EmptyValuesAreWrittenAsNullNotLeftOut) {
  EXPECT_EQ(compactJSON(AgentHealth{}.json(written)),
            R"({"deviceRevoked":false,"lastErrorCode":null,"lastHeartbeatAt":null,"rePairReady":false,)"
            R"("state":"offline","updatePreparationID":null,"updateReady":false,"updatedAt":"2026-01-31T08:15:00Z"})");
}

TEST(AgentHealthTest, EveryFieldHasItsWireForm) {
  AgentHealth health{AgentHealthState::storageError,
                     written - 90s + 500ms,
                     AgentHealthError::journalUnavailable,
                     true,
                     true,
                     "8C1D3E2A-0000-4000-8000-000000000001",
                     true};
  EXPECT_EQ(health.json(written), (Json{
                                      {"state", "storage_error"},
                                      {"lastHeartbeatAt", "2026-01-31T08:13:30Z"},
                                      {"updatedAt", "2026-01-31T08:15:00Z"},
                                      {"lastErrorCode", "journal_unavailable"},
                                      {"deviceRevoked", true},
                                      {"rePairReady", true},
                                      {"updatePreparationID", "8C1D3E2A-0000-4000-8000-000000000001"},
                                      {"updateReady", true},
                                  }));
}

TEST(AgentHealthTest, RawValuesMatchExactly) {
  struct {
    const char* raw;
    std::optional<AgentHealthState> state;
  } states[] = {
      {"online", AgentHealthState::online},
      {"offline", AgentHealthState::offline},
      {"stopped", AgentHealthState::stopped},
      {"revoked", AgentHealthState::revoked},
      {"storage_error", AgentHealthState::storageError},
      {"Online", {}},
      {"storageError", {}},
      {"storage_error ", {}},
      {"", {}},
  };
  for (const auto& c : states) {
    EXPECT_EQ(agentHealthState(c.raw), c.state) << c.raw;
    if (c.state) {
      EXPECT_EQ(rawValue(*c.state), c.raw);
    }
  }
  struct {
    const char* raw;
    std::optional<AgentHealthError> error;
  } errors[] = {
      {"coordinator_unavailable", AgentHealthError::coordinatorUnavailable},
      {"device_revoked", AgentHealthError::deviceRevoked},
      {"journal_unavailable", AgentHealthError::journalUnavailable},
      {"startup_failed", AgentHealthError::startupFailed},
      {"Startup_failed", {}},
      {"startupFailed", {}},
  };
  for (const auto& c : errors) {
    EXPECT_EQ(agentHealthError(c.raw), c.error) << c.raw;
    if (c.error) {
      EXPECT_EQ(rawValue(*c.error), c.raw);
    }
  }
}

// What app-status makes of a health file it did not write itself.
TEST(AgentHealthTest, UntrustedRecordsAreRebuiltOrRejected) {
  const Json normalizedOnline = withState(AgentHealthState::online).json(written);
  struct Case {
    const char* name;
    Json input;
    std::optional<Json> normalized;  // nothing: no health at all
  } cases[] = {
      {"complete record round-trips",
       AgentHealth{AgentHealthState::revoked, written - 1s, AgentHealthError::deviceRevoked, true, false, "id", true}
           .json(written),
       AgentHealth{AgentHealthState::revoked, written - 1s, AgentHealthError::deviceRevoked, true, false, "id", true}
           .json(written)},
      {"only the required keys", {{"state", "online"}, {"updatedAt", "2026-01-31T08:15:00Z"}}, normalizedOnline},
      {"fractional seconds and an offset",
       {{"state", "online"}, {"updatedAt", "2026-01-31T16:15:00.999+08:00"}},
       normalizedOnline},
      {"state in another letter case", {{"state", "Online"}, {"updatedAt", "2026-01-31T08:15:00Z"}}, {}},
      {"state of another type", {{"state", 1}, {"updatedAt", "2026-01-31T08:15:00Z"}}, {}},
      {"updatedAt not a time", {{"state", "online"}, {"updatedAt", "2026-01-31 08:15:00"}}, {}},
      {"updatedAt missing", {{"state", "online"}}, {}},
      {"not an object", Json::array({"online"}), {}},
      {"unknown or malformed optional members fall back to empty",
       {{"state", "online"},
        {"updatedAt", "2026-01-31T08:15:00Z"},
        {"lastErrorCode", "disk_on_fire"},
        {"lastHeartbeatAt", "yesterday"},
        {"deviceRevoked", "true"},
        {"rePairReady", 1},
        {"updatePreparationID", 42},
        {"updateReady", nullptr}},
       normalizedOnline},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto published = AgentHealth::fromJSON(c.input);
    ASSERT_EQ(published.has_value(), c.normalized.has_value());
    if (published) {
      EXPECT_EQ(published->health.json(published->updatedAt), *c.normalized);
    }
  }
}

}  // namespace
}  // namespace corvane
