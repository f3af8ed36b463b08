#include <string>

#include "CoordinatorFixture.h"

namespace corvane::test {
namespace {

using Json = nlohmann::json;

class AuthApiTest : public CoordinatorFixture {
 protected:
  std::string startChallenge(const std::string& email) {
    auto response = post("/v1/auth/email/start", {{"email", email}, {"purpose", "login"}, {"language", "zh-Hans"}});
    EXPECT_EQ(response.status, 200u) << response.body;
    return response.json().value("challengeId", "");
  }
};

TEST_F(AuthApiTest, EmailCodeOpensASessionThatLogoutEnds) {
  std::string challenge = startChallenge("a@example.com");
  Json sent = coordinator.control("email-codes", {{"email", "a@example.com"}})["codes"];
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]["challengeId"], challenge);
  EXPECT_EQ(sent[0]["language"], "zh-Hans");
  std::string code = coordinator.emailCode("a@example.com");
  ASSERT_EQ(code.size(), 6u);
  EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos);

  std::string wrong = code == "000000" ? "111111" : "000000";
  EXPECT_EQ(post("/v1/auth/email/verify", {{"challengeId", challenge}, {"code", wrong}}).status, 400u);
  auto verified = post("/v1/auth/email/verify", {{"challengeId", challenge}, {"code", code}});
  ASSERT_EQ(verified.status, 200u) << verified.body;
  std::string session = verified.json()["token"];
  EXPECT_GE(session.size(), 32u);
  // A code opens one session only.
  EXPECT_EQ(post("/v1/auth/email/verify", {{"challengeId", challenge}, {"code", code}}).status, 400u);

  auto logout = postWithSession("/v1/auth/logout", Json::object(), session);
  EXPECT_EQ(logout.status, 200u);
  EXPECT_EQ(logout.json(), Json::object());
  EXPECT_EQ(postWithSession("/v1/auth/logout", Json::object(), session).status, 401u);
  EXPECT_EQ(post("/v1/auth/logout", Json::object()).status, 401u);
  Json pairing = post("/v1/mac-pairings/start", {{"name", "Laptop"}}).json();
  EXPECT_EQ(
      postWithSession("/v1/mac-pairings/confirm", {{"id", pairing["id"]}, {"code", pairing["code"]}}, session).status,
      401u);
}

TEST_F(AuthApiTest, AskingAgainTooSoonForOneAddressIs429) {
  startChallenge("a@example.com");
  auto again = post("/v1/auth/email/start", {{"email", "A@Example.com"}, {"purpose", "login"}});
  EXPECT_EQ(again.status, 429u);
  EXPECT_FALSE(again.header("retry-after").empty());
  startChallenge("b@example.com");  // another address is not limited

  coordinator.settings({{"emailResendIntervalSeconds", 0}, {"emailCodesPerHour", 3}});
  startChallenge("a@example.com");
  startChallenge("a@example.com");
  EXPECT_EQ(post("/v1/auth/email/start", {{"email", "a@example.com"}, {"purpose", "login"}}).status, 429u);
  EXPECT_EQ(coordinator.control("email-codes", {{"email", "a@example.com"}})["codes"].size(), 3u);
}

TEST_F(AuthApiTest, WrongCodesUseUpTheChallenge) {
  coordinator.settings({{"emailMaxAttempts", 2}});
  std::string challenge = startChallenge("a@example.com");
  std::string code = coordinator.emailCode("a@example.com");
  std::string wrong = code == "000000" ? "111111" : "000000";
  EXPECT_EQ(post("/v1/auth/email/verify", {{"challengeId", challenge}, {"code", wrong}}).status, 400u);
  EXPECT_EQ(post("/v1/auth/email/verify", {{"challengeId", challenge}, {"code", wrong}}).status, 400u);
  EXPECT_EQ(post("/v1/auth/email/verify", {{"challengeId", challenge}, {"code", code}}).status, 429u);
}

TEST_F(AuthApiTest, ExpiredCodeIsRefused) {
  std::string challenge = startChallenge("a@example.com");
  std::string code = coordinator.emailCode("a@example.com");
  coordinator.expire("email-challenges");
  auto response = post("/v1/auth/email/verify", {{"challengeId", challenge}, {"code", code}});
  EXPECT_EQ(response.status, 400u);
  EXPECT_EQ(response.json()["error"], "code_expired");
}

TEST_F(AuthApiTest, MalformedRequestsAre400) {
  struct Case {
    const char* path;
    Json body;
  } cases[] = {
      {"/v1/auth/email/start", {{"purpose", "login"}}},
      {"/v1/auth/email/start", {{"email", "no-at-sign"}, {"purpose", "login"}}},
      {"/v1/auth/email/start", {{"email", "a@example.com"}, {"purpose", "signup"}}},
      {"/v1/auth/email/start", {{"email", "a@example.com"}, {"purpose", "login"}, {"language", 3}}},
      {"/v1/auth/email/verify", {{"code", "123456"}}},
      {"/v1/auth/email/verify", {{"challengeId", "unknown"}, {"code", "123456"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(post(c.path, c.body).status, 400u) << c.path << " " << c.body;
  EXPECT_TRUE(coordinator.control("email-codes")["codes"].empty());
}

}  // namespace
}  // namespace corvane::test
