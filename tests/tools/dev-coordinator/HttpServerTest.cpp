#include <signal.h>

#include <filesystem>
#include <string>

#include "CoordinatorFixture.h"
#include "support/RunResult.h"

namespace corvane::test {
namespace {

using Json = nlohmann::json;

class HttpServerTest : public CoordinatorFixture {};

HttpExchangeOptions trusting(const std::filesystem::path& caFile) {
  HttpExchangeOptions options;
  options.caFile = caFile;
  return options;
}

TEST_F(HttpServerTest, HttpsIsVerifiedAgainstTheGeneratedAuthority) {
  auto request = HttpExchangeRequest::json("/v1/mac-pairings/start", {{"name", "Laptop"}});
  for (const char* host : {"127.0.0.1", "localhost"}) {
    auto response = httpExchange(host, coordinator.httpsPort(), request, trusting(coordinator.caFile()));
    EXPECT_EQ(response.status, 200u) << host;
  }
  EXPECT_EQ(coordinator.requests()[0]["scheme"], "https");

  // Another run's authority does not vouch for this one.
  DevCoordinator other;
  EXPECT_THROW(httpExchange("127.0.0.1", coordinator.httpsPort(), request, trusting(other.caFile())),
               std::runtime_error);
  // Plain HTTP on the HTTPS port gets no answer it could mistake for one.
  EXPECT_THROW(httpExchange("127.0.0.1", coordinator.httpsPort(), request), std::runtime_error);
}

TEST_F(HttpServerTest, RequestLogNumbersEachConnection) {
  auto request = HttpExchangeRequest::json("/v1/mac-pairings/start", {{"name", "Laptop"}});
  auto kept = httpExchanges("127.0.0.1", coordinator.httpPort(), {request, request});
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[1].status, 200u);
  httpExchange("127.0.0.1", coordinator.httpPort(), request);
  httpExchange("127.0.0.1", coordinator.httpsPort(), request, trusting(coordinator.caFile()));

  Json entries = coordinator.requests();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_TRUE(entries[0]["connection"].is_number_unsigned());
  EXPECT_EQ(entries[1]["connection"], entries[0]["connection"]);
  // A new connection, on the same port or the HTTPS one, is never mistaken for an earlier one.
  EXPECT_NE(entries[2]["connection"], entries[0]["connection"]);
  EXPECT_NE(entries[3]["connection"], entries[0]["connection"]);
  EXPECT_NE(entries[3]["connection"], entries[2]["connection"]);
}

TEST_F(HttpServerTest, StopsOnSigtermAndCleansUp) {
  std::filesystem::path state = coordinator.caFile().parent_path();
  ASSERT_TRUE(std::filesystem::exists(coordinator.caFile()));
  ASSERT_EQ(kill(coordinator.pid(), SIGTERM), 0);
  EXPECT_EQ(coordinator.stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(state));
}

TEST(DevCoordinatorProgram, EndsWithItsStandardInput) {
  auto result = runProgram(CORVANE_DEV_COORDINATOR_PATH, {"--exit-on-stdin-eof"}, RunOptions{});
  EXPECT_EQ(result.status, 0) << result.err;
  Json ready = Json::parse(result.out.substr(0, result.out.find('\n')));
  EXPECT_TRUE(ready["ready"].get<bool>());
  EXPECT_FALSE(std::filesystem::exists(ready["stateDirectory"].get<std::string>()));
}

TEST(DevCoordinatorProgram, RefusesUnknownArguments) {
  auto result = runProgram(CORVANE_DEV_COORDINATOR_PATH, {"--http-port", "http"}, RunOptions{});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("not a port"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace corvane::test
