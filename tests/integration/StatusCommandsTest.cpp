// doctor and prepare-repair through the built corvane-mac.

#include <gtest/gtest.h>

#include "executor/state/PairingRecord.h"
#include "executor/state/TokenVault.h"
#include "executor/support/Json.h"
#include "support/RunResult.h"
#include "support/TemporaryDirectory.h"
#include "support/TestKeyring.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

const auto* keyring = ::testing::AddGlobalTestEnvironment(new test::KeyringEnvironment);

class StatusCommandsTest : public ::testing::Test {
 protected:
  test::RunResult tool(std::vector<std::string> arguments, const std::string& codex = "/bin/true") const {
    arguments.insert(arguments.begin(), {"--data-dir", directory.string(), "--codex", codex});
    test::RunOptions options;
    options.environment = {{"HOME", home.path().string()}};
    return test::runProgram(CORVANE_TOOL_PATH, arguments, options);
  }

  test::TemporaryDirectory home;
  fs::path directory = home / "Executor";
};

TEST_F(StatusCommandsTest, DoctorReportsEachPartOnItsOwn) {
  auto flags = [](bool codex, bool keychain, bool pairing) {
    return prettyJSON(
        Json{{"codexAvailable", codex}, {"keychainConfigured", keychain}, {"pairingConfigured", pairing}});
  };
  auto unpaired = tool({"doctor"}, "/nonexistent/codex");
  EXPECT_EQ(unpaired.status, 0) << unpaired.err;
  EXPECT_EQ(unpaired.out, flags(false, false, false));

  PairingRecord{.url = "https://coordinator.example", .deviceId = "device-1", .email = ""}.write(directory);
  auto noToken = tool({"doctor"});
  EXPECT_EQ(noToken.status, 0) << noToken.err;
  EXPECT_EQ(noToken.out, flags(true, false, true)) << "a pairing whose keyring item is gone";

  TokenVault(fs::canonical(directory)).set(std::string(40, 't'));
  EXPECT_EQ(tool({"doctor"}).out, flags(true, true, true));
}

TEST_F(StatusCommandsTest, PrepareRepairNeedsAPairing) {
  auto result = tool({"prepare-repair"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Corvane: Pair with the iPhone app first\n");
}

}  // namespace
}  // namespace corvane
