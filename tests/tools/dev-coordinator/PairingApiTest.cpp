#include <algorithm>
#include <string>

#include "CoordinatorFixture.h"

namespace corvane::test {
namespace {

using Json = nlohmann::json;

bool printableToken(const std::string& token) {
  return token.size() >= 32 &&
         std::all_of(token.begin(), token.end(), [](unsigned char c) { return c >= 0x21 && c <= 0x7E; });
}

class PairingApiTest : public CoordinatorFixture {};

TEST_F(PairingApiTest, PairingCodeHandsOutItsCredentialsOnce) {
  Json code = coordinator.createPairingCode();
  std::string typed = code["code"].get<std::string>();
  // People type what the phone shows loosely: lower case, without the dash.
  typed.erase(std::remove(typed.begin(), typed.end(), '-'), typed.end());
  std::transform(typed.begin(), typed.end(), typed.begin(), [](unsigned char c) { return std::tolower(c); });

  auto first = post("/v1/executor/pair", {{"code", " " + typed + " "}, {"name", "Desk"}});
  ASSERT_EQ(first.status, 200u) << first.body;
  Json answer = first.json();
  EXPECT_TRUE(printableToken(answer["token"])) << answer;
  EXPECT_EQ(answer["token"], code["token"]);
  EXPECT_EQ(answer["deviceId"], code["deviceId"]);
  EXPECT_EQ(answer["email"], "owner@example.com");
  EXPECT_EQ(first.header("content-type"), "application/json");

  auto second = post("/v1/executor/pair", {{"code", code["code"]}, {"name", "Other"}});
  EXPECT_EQ(second.status, 409u);
  EXPECT_EQ(second.json()["error"], "already_paired");

  Json devices = coordinator.control("devices")["devices"];
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]["name"], "Desk");
}

TEST_F(PairingApiTest, PairingCodeRefusals) {
  Json live = coordinator.createPairingCode();
  Json stale = coordinator.createPairingCode({{"lifetimeSeconds", -1}});
  struct Case {
    const char* what;
    Json body;
    unsigned status;
  } cases[] = {
      {"unknown code", {{"code", "ZZZZ-ZZZZ"}, {"name", "Desk"}}, 400},
      {"missing code", {{"name", "Desk"}}, 400},
      {"code not a string", {{"code", 12345678}, {"name", "Desk"}}, 400},
      {"name not a string", {{"code", live["code"]}, {"name", 7}}, 400},
      {"expired code", {{"code", stale["code"]}, {"name", "Desk"}}, 400},
  };
  for (const auto& c : cases) {
    auto response = post("/v1/executor/pair", c.body);
    EXPECT_EQ(response.status, c.status) << c.what << ": " << response.body;
  }
  // None of the refusals used the live code up.
  EXPECT_EQ(post("/v1/executor/pair", {{"code", live["code"]}, {"name", "Desk"}}).status, 200u);
}

TEST_F(PairingApiTest, ControlChosenCredentialsAreHandedOutAsGiven) {
  std::string longId(129, 'a');
  Json code = coordinator.createPairingCode({{"deviceId", longId}, {"token", "short"}, {"email", nullptr}});
  Json answer = post("/v1/executor/pair", {{"code", code["code"]}, {"name", "Desk"}}).json();
  EXPECT_EQ(answer["deviceId"], longId);
  EXPECT_EQ(answer["token"], "short");
  EXPECT_FALSE(answer.contains("email"));
}

TEST_F(PairingApiTest, MacPairingApprovedByThePhoneIsDeliveredExactlyOnce) {
  auto started = post("/v1/mac-pairings/start", {{"name", "Laptop"}});
  ASSERT_EQ(started.status, 200u) << started.body;
  Json pairing = started.json();
  for (const char* key : {"id", "code", "pollToken", "expiresAt"}) EXPECT_TRUE(pairing[key].is_string()) << key;
  EXPECT_TRUE(printableToken(pairing["pollToken"]));

  Json pending = post("/v1/mac-pairings/poll", {{"pollToken", pairing["pollToken"]}}).json();
  EXPECT_EQ(pending["status"], "pending");

  Json approved = coordinator.approveMacPairing({{"email", "phone@example.com"}});
  EXPECT_EQ(approved["id"], pairing["id"]);
  EXPECT_EQ(approved["name"], "Laptop");

  auto paired = post("/v1/mac-pairings/poll", {{"pollToken", pairing["pollToken"]}});
  ASSERT_EQ(paired.status, 200u);
  Json credentials = paired.json();
  EXPECT_EQ(credentials["status"], "paired");
  EXPECT_EQ(credentials["token"], approved["token"]);
  EXPECT_EQ(credentials["deviceId"], approved["deviceId"]);
  EXPECT_EQ(credentials["email"], "phone@example.com");

  auto again = post("/v1/mac-pairings/poll", {{"pollToken", pairing["pollToken"]}});
  EXPECT_EQ(again.status, 409u);
  EXPECT_EQ(coordinator.macPairings()[0]["status"], "consumed");
}

TEST_F(PairingApiTest, MacPairingConfirmedWithAUserSession) {
  Json pairing = post("/v1/mac-pairings/start", {{"name", "Laptop"}}).json();
  std::string session = coordinator.createSession("user@example.com");
  Json body = {{"id", pairing["id"]}, {"code", pairing["code"]}};

  EXPECT_EQ(post("/v1/mac-pairings/confirm", body).status, 401u);
  EXPECT_EQ(postWithSession("/v1/mac-pairings/confirm", body, "not-a-session-token-at-all-0123456789").status, 401u);
  EXPECT_EQ(postWithSession("/v1/mac-pairings/confirm", {{"id", pairing["id"]}, {"code", "AAAA-AAAA"}}, session).status,
            400u);
  EXPECT_EQ(postWithSession("/v1/mac-pairings/confirm", {{"id", "unknown"}, {"code", pairing["code"]}}, session).status,
            404u);

  auto confirmed = postWithSession("/v1/mac-pairings/confirm", body, session);
  ASSERT_EQ(confirmed.status, 200u) << confirmed.body;
  EXPECT_EQ(postWithSession("/v1/mac-pairings/confirm", body, session).status, 409u);

  Json credentials = post("/v1/mac-pairings/poll", {{"pollToken", pairing["pollToken"]}}).json();
  EXPECT_EQ(credentials["status"], "paired");
  EXPECT_EQ(credentials["email"], "user@example.com");
  EXPECT_TRUE(printableToken(credentials["token"]));
}

TEST_F(PairingApiTest, ExpiredMacPairingCanNeitherBeConfirmedNorPolledToSuccess) {
  Json pairing = post("/v1/mac-pairings/start", {{"name", "Laptop"}}).json();
  coordinator.expire("mac-pairings");
  EXPECT_EQ(post("/v1/mac-pairings/poll", {{"pollToken", pairing["pollToken"]}}).json()["status"], "expired");
  auto confirm = postWithSession("/v1/mac-pairings/confirm", {{"id", pairing["id"]}, {"code", pairing["code"]}},
                                 coordinator.createSession());
  EXPECT_EQ(confirm.status, 400u);
  EXPECT_EQ(post("/v1/mac-pairings/poll", {{"pollToken", "unknown"}}).status, 404u);
  EXPECT_EQ(post("/v1/mac-pairings/poll", Json::object()).status, 400u);
}

}  // namespace
}  // namespace corvane::test
