#include <chrono>
#include <cstdint>
#include <string>

#include "CoordinatorFixture.h"

namespace corvane::test {
namespace {

using Json = nlohmann::json;

class RouterTest : public CoordinatorFixture {};

TEST_F(RouterTest, RequestsThatAreNotJsonObjectPostsAreRefused) {
  struct Case {
    const char* what;
    HttpExchangeRequest request;
    unsigned status;
  } cases[] = {
      {"GET", {"GET", "/v1/mac-pairings/start", {}, ""}, 405},
      {"no content type", {"POST", "/v1/mac-pairings/start", {}, "{}"}, 415},
      {"form content type",
       {"POST", "/v1/mac-pairings/start", {{"Content-Type", "application/x-www-form-urlencoded"}}, "{}"},
       415},
      {"not JSON", {"POST", "/v1/mac-pairings/start", {{"Content-Type", "application/json"}}, "{\"name\":"}, 400},
      {"array", {"POST", "/v1/mac-pairings/start", {{"Content-Type", "application/json"}}, "[]"}, 400},
      {"empty body", {"POST", "/v1/mac-pairings/start", {{"Content-Type", "application/json"}}, ""}, 400},
      {"unknown path", {"POST", "/v1/executor/nothing-here", {{"Content-Type", "application/json"}}, "{}"}, 404},
      {"too large",
       {"POST", "/v1/mac-pairings/start", {{"Content-Type", "application/json"}}, std::string(5 << 20, ' ')},
       413},
      {"charset parameter",
       {"POST", "/v1/mac-pairings/start", {{"Content-Type", "application/json; charset=utf-8"}}, "{}"},
       200},
  };
  for (const auto& c : cases) {
    auto response = httpExchange("127.0.0.1", coordinator.httpPort(), c.request);
    EXPECT_EQ(response.status, c.status) << c.what << ": " << response.body;
    if (c.status != 200) {
      EXPECT_TRUE(response.json()["error"].is_string()) << c.what;
    }
  }
  // Only the well-formed request started a pairing.
  EXPECT_EQ(coordinator.macPairings().size(), 1u);
}

TEST_F(RouterTest, RequestLogShowsExactlyWhatWasSent) {
  std::string body = R"({"data":{"kept":1},"name":"Desk"})";
  auto monotonicMicros = [] {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  int64_t sentAfter = monotonicMicros();
  httpExchange(
      "127.0.0.1", coordinator.httpPort(),
      {"POST",
       "/v1/mac-pairings/start?x=1",
       {{"Content-Type", "application/json"}, {"Authorization", "Bearer abc"}, {"X-Twice", "1"}, {"X-Twice", "2"}},
       body});
  int64_t answeredBefore = monotonicMicros();
  post("/v1/auth/logout", Json::object());

  Json all = coordinator.requests();
  ASSERT_EQ(all.size(), 2u);
  Json entries = coordinator.requests("/v1/mac-pairings/start");
  ASSERT_EQ(entries.size(), 1u);
  const Json& entry = entries[0];
  EXPECT_EQ(entry["scheme"], "http");
  EXPECT_EQ(entry["method"], "POST");
  EXPECT_EQ(entry["target"], "/v1/mac-pairings/start?x=1");
  EXPECT_EQ(entry["body"], body);
  EXPECT_EQ(entry["json"]["data"], Json({{"kept", 1}}));
  EXPECT_EQ(entry["headers"]["authorization"], "Bearer abc");
  EXPECT_EQ(entry["headers"]["x-twice"], "1, 2");
  EXPECT_FALSE(entry["headers"].contains("cookie"));
  EXPECT_EQ(entry["status"], 200);
  // Stamped on the clock other processes read too, so a benchmark can set
  // the arrival against its own readings.
  EXPECT_GE(entry["receivedMicros"].get<int64_t>(), sentAfter);
  EXPECT_LE(entry["receivedMicros"].get<int64_t>(), answeredBefore);
  EXPECT_GE(all[1]["receivedMicros"].get<int64_t>(), entry["receivedMicros"].get<int64_t>());
  EXPECT_EQ(all[1]["status"], 401);

  coordinator.reset();
  EXPECT_TRUE(coordinator.requests().empty());
  EXPECT_TRUE(coordinator.macPairings().empty());
}

}  // namespace
}  // namespace corvane::test
