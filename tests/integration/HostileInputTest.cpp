// Input shaped to break a parser, fed to the built corvane-mac from each side
// it reads: a clear refusal, never a crash.

#include <gtest/gtest.h>

#include <string>

#include "dev-coordinator/testing/DevCoordinator.h"
#include "support/RunResult.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

std::string nestedArrays(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

void expectRefused(const test::RunResult& result, const std::string& message) {
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(result.err.ends_with("Corvane: " + message + "\n")) << result.err;
}

TEST(HostileInputTest, ADeeplyNestedCoordinatorAnswerIsInvalidJSON) {
  test::DevCoordinator server;
  // About 400 KB: well inside the answer size limit.
  server.addFault(
      {{"path", "/v1/mac-pairings/start"}, {"rawBody", nestedArrays(200000)}, {"contentType", "application/json"}});
  test::TemporaryDirectory home;
  auto result = test::runProgram(CORVANE_TOOL_PATH, {"--url", server.httpOrigin(), "--development-loopback",
                                                     "--data-dir", (home / "data").string(), "pair-start"});
  expectRefused(result, "Invalid JSON");
  EXPECT_EQ(server.requests("/v1/mac-pairings/start").size(), 1u);
}

TEST(HostileInputTest, DeeplyNestedStandardInputIsInvalidJSON) {
  test::TemporaryDirectory home;
  test::RunOptions options;
  options.input = "{\"email\":" + nestedArrays(200000) + "}\n";
  auto result = test::runProgram(
      CORVANE_TOOL_PATH,
      {"--url", "http://127.0.0.1:9", "--development-loopback", "--data-dir", (home / "data").string(), "email-start"},
      options);
  expectRefused(result, "Invalid JSON");
}

}  // namespace
}  // namespace corvane
