// The support diagnostics commands of the built corvane-mac, run as the tray
// app runs them, against the development coordinator and a throwaway keyring.

#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dev-coordinator/testing/DevCoordinator.h"
#include "executor/support/Json.h"
#include "platform/ChildProcess.h"
#include "platform/Clock.h"
#include "support/Files.h"
#include "support/RunResult.h"
#include "support/TemporaryDirectory.h"
#include "support/TestKeyring.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

const auto* keyring = ::testing::AddGlobalTestEnvironment(new test::KeyringEnvironment);

class DiagnosticsCommandsTest : public ::testing::Test {
 protected:
  test::RunResult tool(const std::string& command, const std::string& input = "") const {
    test::RunOptions options;
    options.input = input;
    return test::runProgram(
        CORVANE_TOOL_PATH,
        {"--url", server.httpOrigin(), "--development-loopback", "--data-dir", data.string(), command}, options);
  }

  void pair() {
    Json pairing = server.createPairingCode();
    auto result = tool("pair", pairing["code"].get<std::string>() + "\n");
    ASSERT_EQ(result.status, 0) << result.err;
  }

  static Json output(const test::RunResult& result) {
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    auto json = parseJSON(result.out);
    EXPECT_TRUE(json) << result.out;
    EXPECT_TRUE(result.out.ends_with("}\n"));
    return json.value_or(Json());
  }

  static void expectFailure(const test::RunResult& result, const std::string& message) {
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "Corvane: " + message + "\n");
    EXPECT_EQ(result.out, "");
  }

  test::DevCoordinator server;
  test::TemporaryDirectory directory;
  fs::path data = directory / "Executor";
};

TEST_F(DiagnosticsCommandsTest, SupportReportGetsASupportNumberAtOnce) {
  pair();
  Json status = output(tool("support-report", R"({"description":"Sync stopped \ud83d\ude00"})"
                                              "\n"));
  ASSERT_EQ(status["reportStatus"], "submitted") << status;
  std::string number = status["reportId"];
  EXPECT_TRUE(std::regex_match(number, std::regex("^CV-[0-9a-fA-F-]{73}$"))) << number;
  EXPECT_EQ(status["enabled"], true);
  EXPECT_EQ(status["pendingCount"], 0);

  Json reports = server.control("diagnostics")["reports"];
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["reportId"], number);
  EXPECT_TRUE(number.ends_with(reports[0]["id"].get<std::string>()));
  EXPECT_EQ(reports[0]["description"], "Sync stopped \xF0\x9F\x98\x80");
  Json metadata = reports[0]["metadata"];
  EXPECT_EQ(metadata["appVersion"], CORVANE_VERSION);
  EXPECT_EQ(metadata["appBuild"], CORVANE_BUILD);
  EXPECT_EQ(metadata["codexVersion"], "0.146.0");
  EXPECT_TRUE(std::regex_match(metadata["macOS"].get<std::string>(), std::regex("^[0-9]+\\.[0-9]+\\.[0-9]+$")));
  Json sent = server.requests("/v1/executor/support-reports");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent[0]["headers"]["authorization"].get<std::string>().starts_with("Bearer "));

  EXPECT_EQ(test::modeOf(data / "support-diagnostics.json"), 0600u);
  EXPECT_EQ(test::modeOf(data / "support-upload.lock"), 0600u);
  // The tray app's next reading shows the same.
  EXPECT_EQ(output(tool("diagnostics-setting", R"({"enabled":true})"
                                               "\n")),
            status);
}

TEST_F(DiagnosticsCommandsTest, AReportTheCoordinatorDoesNotAcceptStaysPending) {
  pair();
  server.addFault({{"path", "/v1/executor/support-reports"}, {"status", 500}});
  Json status = output(tool("support-report", R"({"description":""})"));
  EXPECT_EQ(status["reportStatus"], "pending");
  EXPECT_EQ(status["reportId"], nullptr);

  // Filing again sends nothing new during the back-off: the pending report
  // keeps waiting.
  server.control("diagnostics", {{"receipts", {{"reports", "foreign-id"}}}});
  status = output(tool("support-report", R"({"description":"second"})"));
  EXPECT_EQ(status["reportStatus"], "pending");
  EXPECT_EQ(server.requests("/v1/executor/support-reports").size(), 1u);
}

TEST_F(DiagnosticsCommandsTest, SupportReportRefusals) {
  expectFailure(tool("support-report", R"({"description":"x"})"), "Pair with the iPhone app first");
  EXPECT_FALSE(fs::exists(data));
  pair();
  expectFailure(tool("support-report", R"({"description":7})"), "Invalid problem description");
  expectFailure(tool("support-report", ""), "Invalid problem description");
  expectFailure(tool("support-report", "description\n"), "Invalid JSON");
  expectFailure(tool("support-report", "[1]\n"), "Invalid JSON object");
  expectFailure(tool("support-report", Json{{"description", std::string(1001, 'a')}}.dump()), "Report too long");
  expectFailure(tool("support-report", std::string(70000, ' ') + "{}"), "Report too long");
  EXPECT_TRUE(server.requests("/v1/executor/support-reports").empty());
  EXPECT_FALSE(output(tool("diagnostics-setting", R"({"enabled":true})")).contains("reportStatus"));
}

TEST_F(DiagnosticsCommandsTest, DiagnosticsSetting) {
  expectFailure(tool("diagnostics-setting", R"({"enabled":false})"), "Local secure storage is unavailable");
  EXPECT_FALSE(fs::exists(data));
  pair();
  expectFailure(tool("diagnostics-setting", ""), "Invalid diagnostic setting");
  expectFailure(tool("diagnostics-setting", R"({"enabled":"no"})"), "Invalid diagnostic setting");
  EXPECT_EQ(output(tool("diagnostics-setting", R"({"enabled":false})"
                                               "\n")),
            (Json{{"enabled", false}, {"pendingCount", 0}}));
  EXPECT_EQ(output(tool("diagnostics-setting", R"({"enabled":true})")), (Json{{"enabled", true}, {"pendingCount", 0}}));
}

TEST_F(DiagnosticsCommandsTest, DiagnosticsExportsBothHistories) {
  Json exported = output(tool("diagnostics"));
  EXPECT_FALSE(fs::exists(data));
  EXPECT_EQ(exported["entries"], Json::array());
  EXPECT_EQ(exported["events"], Json::array());
  EXPECT_EQ(exported["schemaVersion"], 1);
  EXPECT_TRUE(exported["exportedAt"].is_string());

  pair();
  test::writeFile(
      data / "codex-diagnostics.json",
      Json{{"entries",
            {{{"recordedAt",
               std::chrono::duration<double>(platform::systemClock().wallTime().time_since_epoch()).count()},
              {"code", "codex_account_read_timeout"}}}}}
          .dump());
  exported = output(tool("diagnostics"));
  ASSERT_EQ(exported["entries"].size(), 1u);
  EXPECT_EQ(exported["entries"][0]["code"], "codex_account_read_timeout");
  EXPECT_EQ(exported["events"], Json::array());
}

TEST_F(DiagnosticsCommandsTest, AnotherProcessInTheStateFailsTheCommandAtOnce) {
  pair();
  platform::SpawnPlan plan;
  plan.program = LOCK_HOLDER_CHILD;
  plan.arguments = {LOCK_HOLDER_CHILD, (data / "support-diagnostics.lock").string()};
  plan.descriptors = {platform::ChildDescriptor::pipeToChild(), platform::ChildDescriptor::pipeFromChild(),
                      platform::ChildDescriptor::inherited(), platform::ChildDescriptor::closed()};
  plan.diesWithParent = true;
  auto holder = platform::ChildProcess::spawn(plan);
  ASSERT_TRUE(holder);
  int input = holder->takePipe(0);
  int said = holder->takePipe(1);
  char line[8] = {};
  ASSERT_EQ(read(said, line, 7), 7);
  close(said);

  expectFailure(tool("diagnostics-setting", R"({"enabled":false})"), "Local secure storage is unavailable");
  // A report cannot be filed either; the status the app polls says nothing is known.
  expectFailure(tool("support-report", R"({"description":"x"})"), "Local secure storage is unavailable");
  EXPECT_TRUE(server.requests("/v1/executor/support-reports").empty());

  close(input);
  ASSERT_TRUE(holder->wait(platform::continuousSeconds() + 30));
  EXPECT_EQ(output(tool("diagnostics-setting", R"({"enabled":false})")),
            (Json{{"enabled", false}, {"pendingCount", 0}}));
}

}  // namespace
}  // namespace corvane
