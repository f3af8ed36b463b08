#include <chrono>
#include <string>

#include "CoordinatorFixture.h"

namespace corvane::test {
namespace {

using Json = nlohmann::json;

class FaultPlanTest : public CoordinatorFixture {
 protected:
  HttpExchangeResponse start() { return post("/v1/mac-pairings/start", {{"name", "Laptop"}}); }
};

TEST_F(FaultPlanTest, ForcedAnswers) {
  struct Case {
    const char* what;
    Json fault;
    unsigned status;
    std::string contentType;
    std::string body;  // expected exactly, unless empty
  } cases[] = {
      {"status", {{"status", 503}}, 503, "application/json", ""},
      {"status and body", {{"status", 200}, {"body", {{"status", 5}}}}, 200, "application/json", R"({"status":5})"},
      {"non-JSON", {{"rawBody", "<html>gateway</html>"}}, 200, "text/html", "<html>gateway</html>"},
      {"redirect", {{"redirect", "http://127.0.0.1:1/elsewhere"}}, 302, "application/json", "{}"},
      {"redirect 307", {{"redirect", "/v1/auth/logout"}, {"status", 307}}, 307, "application/json", "{}"},
  };
  for (const auto& c : cases) {
    Json fault = c.fault;
    fault["path"] = "/v1/mac-pairings/start";
    coordinator.addFault(fault);
    auto response = start();
    EXPECT_EQ(response.status, c.status) << c.what;
    EXPECT_EQ(response.header("content-type"), c.contentType) << c.what;
    if (!c.body.empty()) {
      EXPECT_EQ(response.body, c.body) << c.what;
    }
    if (c.fault.contains("redirect")) {
      EXPECT_EQ(response.header("location"), c.fault["redirect"]) << c.what;
    }
    // Once by default: the next request gets the real answer.
    EXPECT_EQ(start().status, 200u) << c.what;
  }
  // Faulted requests never reached the endpoint.
  EXPECT_EQ(coordinator.macPairings().size(), std::size(cases));
}

TEST_F(FaultPlanTest, OversizedBodyIsValidJsonOfTheSizeAsked) {
  coordinator.addFault({{"path", "/v1/mac-pairings/*"}, {"oversizedBytes", 1048577}});
  auto response = post("/v1/mac-pairings/poll", {{"pollToken", "x"}});
  EXPECT_EQ(response.status, 200u);
  EXPECT_EQ(response.body.size(), 1048577u);
  EXPECT_TRUE(response.json().is_object());
}

TEST_F(FaultPlanTest, CountsAndAlways) {
  coordinator.addFault({{"path", "/v1/auth/logout"}, {"status", 500}, {"times", 2}});
  coordinator.addFault({{"path", "/v1/mac-pairings/start"}, {"status", 429}, {"times", 0}});
  EXPECT_EQ(post("/v1/auth/logout", Json::object()).status, 500u);
  EXPECT_EQ(post("/v1/auth/logout", Json::object()).status, 500u);
  EXPECT_EQ(post("/v1/auth/logout", Json::object()).status, 401u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(start().status, 429u);
  EXPECT_EQ(coordinator.control("faults")["faults"].size(), 1u);
  coordinator.reset();
  EXPECT_EQ(start().status, 200u);
}

TEST_F(FaultPlanTest, DroppedConnectionIsATransportFailure) {
  coordinator.addFault({{"path", "/v1/mac-pairings/start"}, {"close", true}});
  try {
    start();
    FAIL() << "answered";
  } catch (const HttpExchangeTimeout&) {
    FAIL() << "timed out instead of failing at once";
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(coordinator.requests("/v1/mac-pairings/start")[0]["status"].is_null());
}

TEST_F(FaultPlanTest, HeldRequestIsNeverAnsweredUntilReset) {
  coordinator.addFault({{"path", "/v1/mac-pairings/start"}, {"hold", true}});
  auto request = HttpExchangeRequest::json("/v1/mac-pairings/start", {{"name", "Laptop"}});
  HttpExchangeOptions impatient;
  impatient.timeoutSeconds = 1;
  EXPECT_THROW(httpExchange("127.0.0.1", coordinator.httpPort(), request, impatient), HttpExchangeTimeout);
  EXPECT_TRUE(coordinator.requests("/v1/mac-pairings/start")[0]["status"].is_null());
  EXPECT_TRUE(coordinator.macPairings().empty());
  // Other requests are served meanwhile, and the hold was for one request.
  EXPECT_EQ(start().status, 200u);
}

TEST_F(FaultPlanTest, DelayedAnswerIsTheRealOneLater) {
  coordinator.addFault({{"path", "/v1/mac-pairings/start"}, {"delayMs", 300}});
  auto before = std::chrono::steady_clock::now();
  auto response = start();
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(300));
  EXPECT_EQ(response.status, 200u);
  EXPECT_TRUE(response.json()["pollToken"].is_string());
}

TEST_F(FaultPlanTest, MeaninglessFaultsAreRefused) {
  for (const Json& fault : {Json{{"status", 500}}, Json{{"path", "/v1/auth/logout"}},
                            Json{{"path", "/v1/auth/logout"}, {"hold", true}, {"status", 500}},
                            Json{{"path", "/v1/auth/logout"}, {"stauts", 500}}}) {
    EXPECT_THROW(coordinator.addFault(fault), std::runtime_error) << fault;
  }
  EXPECT_TRUE(coordinator.control("faults")["faults"].empty());
}

}  // namespace
}  // namespace corvane::test
