// The model against the real built corvane-mac and the development
// coordinator on loopback, with a throwaway keyring and home: code pairing
// from the request to a paired Mac.

#include <gtest/gtest.h>
#include <stdlib.h>

#include "app/model/AppModel.h"
#include "app/model/ModelStandIns.h"
#include "app/model/ModelTesting.h"
#include "dev-coordinator/testing/DevCoordinator.h"
#include "support/TestKeyring.h"

namespace corvane::test {
namespace {

using namespace app;
using nlohmann::json;

const auto* keyring = ::testing::AddGlobalTestEnvironment(new KeyringEnvironment);

TEST(AppModelIntegrationTest, CodePairingEndsInAPairedMac) {
  TemporaryDirectory home;
  setenv("HOME", home.path().c_str(), 1);  // the tool's default data directory lives there
  DevCoordinator server;
  // Installed as a user would have it: the built bundle with a Codex runtime
  // (the fake one) beside the tool.
  std::filesystem::path app = home / "Applications/Corvane.app";
  std::filesystem::create_directories(app.parent_path());
  std::filesystem::copy(std::filesystem::path(CORVANE_TOOL_PATH).parent_path().parent_path().parent_path(), app,
                        std::filesystem::copy_options::recursive);
  std::filesystem::copy_file(FAKE_CODEX_PATH, app / "Contents/MacOS/codex");
  BundleInfo bundle;
  bundle.bundle = app;
  bundle.home = home.path();
  bundle.coordinatorURL = server.httpOrigin();
  bundle.hostName = "Integration Mac";
  BackgroundServiceStandIn service;
  DesktopStandIn desktop;
  HelperClient helper(app / "Contents/MacOS/corvane-mac");
  AppModel model(bundle, helper, service, desktop, [] {
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
  });

  finish(model.refresh());
  ASSERT_FALSE(model.statusError()) << *model.statusError();
  ASSERT_TRUE(model.snapshot());
  ASSERT_FALSE(model.snapshot()->paired);
  ASSERT_TRUE(model.snapshot()->codexAvailable);

  finish(model.createPairing());
  ASSERT_FALSE(model.error()) << *model.error();
  ASSERT_TRUE(model.pairing());
  json pairings = server.macPairings();
  ASSERT_EQ(pairings.size(), 1u);
  EXPECT_EQ(pairings[0]["id"], model.pairing()->id);
  EXPECT_EQ(pairings[0]["name"], "Integration Mac");
  EXPECT_EQ(pairings[0]["code"], model.pairing()->code);

  server.approveMacPairing({{"id", model.pairing()->id}});
  finish(model.refresh());
  EXPECT_FALSE(model.statusError());
  EXPECT_FALSE(model.pairing());
  ASSERT_TRUE(model.snapshot());
  EXPECT_TRUE(model.snapshot()->paired);
  EXPECT_EQ(service.calls, std::vector<std::string>{"register"});
}

}  // namespace
}  // namespace corvane::test
