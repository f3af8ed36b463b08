#include "app/model/ConnectionState.h"

#include <gtest/gtest.h>

#include "app/model/AuthorizationHistory.h"
#include "app/model/ConnectionDates.h"

namespace corvane::test {
namespace {

using namespace app;
using namespace std::chrono_literals;

const WallTime now = *parseTimestamp("2026-01-01T12:00:00Z");

HelperSnapshot paired(std::optional<Health> health = std::nullopt) {
  HelperSnapshot snapshot;
  snapshot.paired = true;
  snapshot.codexAvailable = true;
  snapshot.health = std::move(health);
  return snapshot;
}

Health health(std::string state, std::optional<std::string> heartbeat = "2026-01-01T11:59:50Z") {
  return Health{std::move(state), std::move(heartbeat), "2026-01-01T12:00:00Z", {}, {}, {}, {}, {}};
}

TEST(ConnectionStateTest, FirstMatchingRuleWins) {
  auto revoked = paired(health("online"));
  revoked.health->deviceRevoked = true;
  auto revokedState = paired(health("revoked"));
  auto signingOut = paired();
  signingOut.paired = false;
  signingOut.signOutPending = true;
  auto noCodex = paired();
  noCodex.codexAvailable = false;
  auto unpaired = paired();
  unpaired.paired = false;
  auto stale = paired(health("online", "2026-01-01T11:58:29Z"));
  auto staleWithError = stale;
  staleWithError.health->lastErrorCode = "startup_failed";
  auto offlineNoError = paired(health("offline"));
  const auto enabled = LoginItemStatus::enabled;

  struct Case {
    const char* name;
    std::optional<HelperSnapshot> snapshot;
    LoginItemStatus service;
    bool installed;
    bool readFailed;
    ConnectionState expected;
  } cases[] = {
      {"not installed and revoked", revoked, enabled, false, false, ConnectionState::installation},
      {"signing out, unpaired, read failed", signingOut, enabled, true, true, ConnectionState::signingOut},
      {"revoked flag while read failed", revoked, enabled, true, true, ConnectionState::revoked},
      {"revoked state", revokedState, enabled, true, false, ConnectionState::revoked},
      {"no snapshot, read failed", std::nullopt, enabled, true, true, ConnectionState::unavailable},
      {"no snapshot yet", std::nullopt, enabled, true, false, ConnectionState::checking},
      {"paired, codex missing, stopped", noCodex, LoginItemStatus::notRegistered, true, false,
       ConnectionState::incomplete},
      {"not paired", unpaired, enabled, true, false, ConnectionState::signIn},
      {"approval", paired(), LoginItemStatus::requiresApproval, true, false, ConnectionState::approval},
      {"not registered", paired(), LoginItemStatus::notRegistered, true, false, ConnectionState::stopped},
      {"not found", paired(), LoginItemStatus::notFound, true, false, ConnectionState::stopped},
      {"no health", paired(), enabled, true, false, ConnectionState::connecting},
      {"online", paired(health("online")), enabled, true, false, ConnectionState::online},
      {"online, 91 s old", stale, enabled, true, false, ConnectionState::connecting},
      {"online, 91 s old, error", staleWithError, enabled, true, false, ConnectionState::offline},
      {"storage error, fresh", paired(health("storage_error")), enabled, true, false, ConnectionState::storageError},
      {"offline without error code", offlineNoError, enabled, true, false, ConnectionState::connecting},
  };
  for (const auto& c : cases)
    EXPECT_EQ(connectionState(c.snapshot, c.service, c.installed, c.readFailed, now), c.expected) << c.name;
  EXPECT_EQ(title(ConnectionState::connecting), "Enabled, Awaiting Connection");
}

TEST(ConnectionStateTest, HistoryRemembersTheLatestExpiryThatWentAway) {
  auto login = [](std::string id, std::string expiry) { return Login{id, "https://chatgpt.com/", "C", expiry}; };
  WallTime t1 = *parseTimestamp("2026-01-01T12:05:00Z");
  WallTime t2 = *parseTimestamp("2026-01-01T12:10:00Z");
  AuthorizationHistory history;
  history.update({login("a", "2026-01-01T12:05:00Z"), login("b", "2026-01-01T12:10:00Z")});
  EXPECT_FALSE(history.endedExpiry);

  history.update({login("b", "2026-01-01T12:10:00Z")});
  EXPECT_EQ(history.endedExpiry, t1);
  EXPECT_EQ(history.requests, (std::map<std::string, WallTime>{{"b", t2}}));

  history.update({});
  EXPECT_EQ(history.endedExpiry, t2);

  history.update({login("c", "2026-01-01T12:20:00Z")});
  EXPECT_EQ(history.endedExpiry, t2);

  // A later disappearance replaces the value even when it expires earlier.
  history.update({login("d", "never")});
  EXPECT_EQ(history.endedExpiry, *parseTimestamp("2026-01-01T12:20:00Z"));
  history.update({});
  EXPECT_EQ(history.endedExpiry, distantPast);

  AuthorizationHistory duplicates;
  duplicates.update({login("a", "2026-01-01T12:05:00Z"), login("a", "2026-01-01T12:10:00Z")});
  EXPECT_EQ(duplicates.requests.at("a"), t1);
}

TEST(ConnectionStateTest, Countdown) {
  struct Case {
    std::optional<WallTime> until;
    const char* text;
  } cases[] = {
      {now + 299200ms, "5:00"}, {now + 59s, "0:59"}, {now + 200ms, "0:01"},
      {now + 75min, "75:00"},   {now - 10s, "0:00"}, {std::nullopt, "0:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(ConnectionDates::remaining(c.until, now), c.text) << c.text;
}

}  // namespace
}  // namespace corvane::test
