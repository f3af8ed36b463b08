// install, uninstall and agent-status through the built corvane-mac, on a
// machine where no user service manager runs (as on a build machine): the
// real systemctl is asked and says no.

#include <gtest/gtest.h>

#include <fstream>

#include "executor/state/PairingRecord.h"
#include "executor/state/TokenVault.h"
#include "executor/support/Json.h"
#include "support/RunResult.h"
#include "support/ServiceManagerStandIn.h"
#include "support/TemporaryDirectory.h"
#include "support/TestKeyring.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

const auto* keyring = ::testing::AddGlobalTestEnvironment(new test::KeyringEnvironment);

class ServiceCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
  }

  test::RunResult tool(const fs::path& dataDirectory, std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {"--data-dir", dataDirectory.string(), "--codex", "/bin/true"});
    test::RunOptions options;
    options.environment = {
        {"HOME", home.path().string()}, {"XDG_CONFIG_HOME", std::nullopt}, {"XDG_RUNTIME_DIR", runtime.string()}};
    return test::runProgram(CORVANE_TOOL_PATH, arguments, options);
  }

  fs::path unitFolder() const { return home / ".config/systemd/user"; }

  static std::string label(const test::RunResult& run) {
    auto status = parseJSON(run.out);
    return status && status->is_object() && (*status)["label"].is_string() ? std::string((*status)["label"]) : "";
  }

  test::TemporaryDirectory home;
  fs::path runtime = home / "run";
  fs::path directory = home / "Executor";
};

TEST_F(ServiceCommandsTest, RenderOnlyPrintsAUnitTheManagerAcceptsAndWritesNothing) {
  auto rendered = tool(directory, {"install", "--render-only"});
  ASSERT_EQ(rendered.status, 0) << rendered.err;
  EXPECT_EQ(rendered.out.rfind("[Unit]\n", 0), 0u);
  EXPECT_EQ(rendered.out.substr(rendered.out.size() - 2), "t\n") << "one newline after the unit's last line";
  EXPECT_NE(rendered.out.find("\"--codex\" \"/bin/true\""), std::string::npos) << rendered.out;
  EXPECT_FALSE(fs::exists(home / ".config")) << "nothing is written, and no pairing is needed";

  auto status = tool(directory, {"agent-status"});
  fs::path file = home / (label(status) + ".service");
  std::ofstream(file) << rendered.out;
  auto verified = test::verifyUnitFile(file);
  EXPECT_EQ(verified.status, 0) << verified.err;
  EXPECT_EQ(verified.err, "");
}

TEST_F(ServiceCommandsTest, StatusAndUninstallWithNothingInstalled) {
  auto status = tool(directory, {"agent-status"});
  ASSERT_EQ(status.status, 0) << status.err;
  const std::string name = label(status);
  EXPECT_EQ(status.out, prettyJSON(Json{{"installed", false}, {"label", name}, {"loaded", false}}));

  auto uninstalled = tool(directory, {"uninstall"});
  ASSERT_EQ(uninstalled.status, 0) << uninstalled.err;
  EXPECT_EQ(uninstalled.out, status.out);

  // One directory reached through a link is one service.
  fs::create_directory_symlink(home.path(), home / "linked");
  EXPECT_EQ(label(tool(home / "linked/Executor", {"agent-status"})), name);
  EXPECT_NE(label(tool(home / "other", {"agent-status"})), name);
}

TEST_F(ServiceCommandsTest, AManagerThatIsNotThereRetainsNothing) {
  fs::create_directories(directory);
  PairingRecord{.url = "https://coordinator.example", .deviceId = "device-1", .email = ""}.write(directory);
  TokenVault(fs::canonical(directory)).set(std::string(40, 't'));

  auto installed = tool(directory, {"install"});
  EXPECT_EQ(installed.status, 2);
  EXPECT_EQ(installed.err, "Corvane: launchd failed to start; no background task was retained\n");
  EXPECT_TRUE(!fs::exists(unitFolder()) || fs::is_empty(unitFolder()));
}

// The unit the tray app links to start the executor, as the build lays it
// out in the bundle.
TEST_F(ServiceCommandsTest, TheBundlesServiceUnitRunsServiceAgentAndPassesTheManagersCheck) {
  fs::path contents = fs::path(CORVANE_TOOL_PATH).parent_path().parent_path();
  fs::path unit = contents / "Library/systemd/user" / (std::string(CORVANE_BUNDLE_IDENTIFIER) + ".executor.service");
  std::ifstream file(unit);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("ExecStart=\"" + std::string(CORVANE_TOOL_PATH) + "\" service-agent\n"), std::string::npos)
      << text;
  auto verified = test::verifyUnitFile(unit);
  EXPECT_EQ(verified.status, 0) << verified.err;
  EXPECT_EQ(verified.err, "");
}

}  // namespace
}  // namespace corvane
