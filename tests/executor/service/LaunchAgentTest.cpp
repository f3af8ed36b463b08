#include "executor/service/LaunchAgent.h"

#include <gtest/gtest.h>

#include <fstream>

#include "executor/state/PairingRecord.h"
#include "executor/state/TokenVault.h"
#include "executor/support/CVError.h"
#include "support/ErrorOf.h"
#include "support/ReadFile.h"
#include "support/ServiceManagerStandIn.h"
#include "support/TestKeyring.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

const auto* keyring = ::testing::AddGlobalTestEnvironment(new test::KeyringEnvironment);

class LaunchAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(directory);
    // Real programs, so the manager's own check of the unit can find them.
    fs::create_directories(tool.parent_path());
    fs::copy_file("/bin/true", tool);
    fs::copy_file("/bin/true", codex);
  }

  void pair() const {
    PairingRecord{.url = "https://coordinator.example", .deviceId = "device-1", .email = ""}.write(directory);
    TokenVault(directory).set(std::string(40, 't'));
  }

  LaunchAgent agent() const { return LaunchAgent(directory, standIn.manager(), standIn.unitFolder()); }

  test::TemporaryDirectory temporary;
  fs::path directory = temporary / "data dir";
  // A space, a specifier and a variable sign: each means something to the
  // manager unless quoted.
  fs::path tool = temporary / "Corvane 100% $HOME/corvane-mac";
  fs::path codex = temporary / "codex";
  test::ServiceManagerStandIn standIn;
};

TEST_F(LaunchAgentTest, TheLabelIsAStableHashOfTheDirectory) {
  const std::string label = agent().label();
  EXPECT_EQ(label.size(), std::string("com.corvane.executor.").size() + 12);
  EXPECT_EQ(label.rfind("com.corvane.executor.", 0), 0u);
  EXPECT_EQ(label, LaunchAgent(directory).label());
  EXPECT_NE(label, LaunchAgent(temporary / "other").label());
  EXPECT_EQ(agent().unitFile(), standIn.unitFolder() / (label + ".service"));
}

TEST_F(LaunchAgentTest, TheRenderedUnitRunsTheAgentAndPassesTheManagersCheck) {
  const std::string unit = agent().rendered(tool, codex);
  EXPECT_NE(unit.find("\"agent\""), std::string::npos);
  EXPECT_EQ(unit.find("service-agent"), std::string::npos);
  for (const char* setting :
       {"Environment=\"PATH=/usr/bin:/bin:/usr/sbin:/sbin\"", "WantedBy=default.target", "Restart=always",
        "RestartSec=15", "UMask=0077", "StandardOutput=null", "StandardError=null", "Type=notify", "WatchdogSec=60"})
    EXPECT_NE(unit.find(std::string(setting) + "\n"), std::string::npos) << setting;

  // The manager checks that ExecStart names an executable: it finds the
  // tool only when the quoting brought the path through intact.
  fs::path file = temporary / (agent().label() + ".service");
  std::ofstream(file) << unit;
  auto verified = test::verifyUnitFile(file);
  EXPECT_EQ(verified.status, 0) << verified.err;
  EXPECT_EQ(verified.err, "");
}

TEST_F(LaunchAgentTest, InstallWritesAPrivateUnitAndStartsIt) {
  pair();
  Json status = agent().install(tool, codex);
  EXPECT_EQ(status, (Json{{"installed", true}, {"label", agent().label()}, {"loaded", true}}));
  EXPECT_EQ(test::readFile(agent().unitFile()), agent().rendered(tool, codex));
  EXPECT_EQ(fs::status(agent().unitFile()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(standIn.unitFolder()).permissions(), fs::perms::owner_all);
  EXPECT_TRUE(standIn.isEnabled(agent().unitName()));
  EXPECT_EQ(agent().status(), status);
}

TEST_F(LaunchAgentTest, OnlyAPairedDirectoryIsInstalled) {
  EXPECT_EQ(test::errorOf([&] { agent().install(tool, codex); }), CVError::invalid("Pair with the iPhone app first"));
  EXPECT_FALSE(fs::exists(agent().unitFile()));
  EXPECT_TRUE(standIn.calls().empty());
}

TEST_F(LaunchAgentTest, ASecondInstallLeavesTheFirstUntouched) {
  pair();
  agent().install(tool, codex);
  const std::string first = test::readFile(agent().unitFile());
  const size_t callsBefore = standIn.calls().size();
  EXPECT_EQ(test::errorOf([&] { agent().install(tool, temporary / "other-codex"); }),
            CVError::invalid("A background task already exists for this directory; uninstall the old version first"));
  EXPECT_EQ(test::readFile(agent().unitFile()), first);
  EXPECT_EQ(standIn.calls().size(), callsBefore);

  // A link there, even a dangling one, counts as an installation too.
  LaunchAgent elsewhere(temporary / "elsewhere", standIn.manager(), standIn.unitFolder());
  fs::create_directories(temporary / "elsewhere");
  PairingRecord{.url = "https://coordinator.example", .deviceId = "device-2", .email = ""}.write(temporary /
                                                                                                 "elsewhere");
  TokenVault(temporary / "elsewhere").set(std::string(40, 'u'));
  fs::create_symlink(temporary / "nowhere", elsewhere.unitFile());
  EXPECT_EQ(test::errorOf([&] { elsewhere.install(tool, codex); })->message(),
            "A background task already exists for this directory; uninstall the old version first");
  EXPECT_TRUE(fs::is_symlink(elsewhere.unitFile()));
}

TEST_F(LaunchAgentTest, ARefusedStartRetainsNothing) {
  pair();
  standIn.refuse("enable");
  EXPECT_EQ(test::errorOf([&] { agent().install(tool, codex); }),
            CVError::invalid("launchd failed to start; no background task was retained"));
  EXPECT_FALSE(fs::exists(agent().unitFile()));
  EXPECT_EQ(agent().status(), (Json{{"installed", false}, {"label", agent().label()}, {"loaded", false}}));
}

TEST_F(LaunchAgentTest, UninstallStopsAndRemoves) {
  const Json notInstalled{{"installed", false}, {"label", agent().label()}, {"loaded", false}};
  EXPECT_EQ(agent().uninstall(), notInstalled) << "nothing installed is no failure";
  for (const auto& call : standIn.calls()) EXPECT_EQ(call.find("disable"), std::string::npos);

  pair();
  agent().install(tool, codex);
  EXPECT_EQ(agent().uninstall(), notInstalled);
  EXPECT_FALSE(fs::exists(agent().unitFile()));
  EXPECT_FALSE(standIn.isEnabled(agent().unitName()));
  EXPECT_EQ(standIn.calls().back(), "--user daemon-reload");
}

TEST_F(LaunchAgentTest, AServiceThatWillNotStopKeepsItsUnit) {
  pair();
  agent().install(tool, codex);
  standIn.refuse("disable");
  EXPECT_EQ(test::errorOf([&] { agent().uninstall(); }),
            CVError::invalid("Cannot stop the background task; its plist was retained"));
  EXPECT_TRUE(fs::exists(agent().unitFile()));
}

TEST_F(LaunchAgentTest, UninstallRefusesALinkInTheUnitsPlace) {
  fs::create_directories(standIn.unitFolder());
  std::ofstream(temporary / "victim") << "keep";
  fs::create_symlink(temporary / "victim", agent().unitFile());
  EXPECT_EQ(test::errorOf([&] { agent().uninstall(); }), CVError::storage());
  EXPECT_EQ(test::readFile(temporary / "victim"), "keep");
  EXPECT_TRUE(fs::is_symlink(agent().unitFile()));
}

}  // namespace
}  // namespace corvane
