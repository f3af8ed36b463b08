// The model against the real built corvane-mac and the development
// coordinator on loopback, with a throwaway keyring and home: code pairing
// from the request to a paired Mac.

#include <gtest/gtest.h>
#include <stdlib.h>

#include "app/model/AppModel.h"
#include "app/model/HelperError.h"
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
  std::filesystem::create_directories(home / "Applications/Corvane.app");
  BundleInfo bundle;
  bundle.bundle = home / "Applications/Corvane.app";
  bundle.home = home.path();
  bundle.coordinatorURL = server.httpOrigin();
  bundle.hostName = "Integration Mac";
  BackgroundServiceStandIn service;
  DesktopStandIn desktop;
  HelperClient helper(CORVANE_TOOL_PATH);
  AppModel model(bundle, helper, service, desktop, [] {
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
  });

  // Until the tool prints its status, the model starts from the status of a
  // fresh, unpaired Mac.
  bool statusAvailable = true;
  try {
    finish(helper.snapshot());
  } catch (const HelperError&) {
    statusAvailable = false;
  }
  if (statusAvailable) {
    finish(model.refresh());
    ASSERT_FALSE(model.statusError()) << *model.statusError();
    ASSERT_FALSE(model.snapshot()->paired);
  } else {
    HelperSnapshot fresh;
    fresh.codexAvailable = true;
    model.receive(fresh);
  }

  finish(model.createPairing());
  ASSERT_FALSE(model.error()) << *model.error();
  ASSERT_TRUE(model.pairing());
  json pairings = server.macPairings();
  ASSERT_EQ(pairings.size(), 1u);
  EXPECT_EQ(pairings[0]["id"], model.pairing()->id);
  EXPECT_EQ(pairings[0]["name"], "Integration Mac");
  EXPECT_EQ(pairings[0]["code"], model.pairing()->code);

  server.approveMacPairing({{"id", model.pairing()->id}});
  if (statusAvailable) {
    finish(model.refresh());
    EXPECT_FALSE(model.statusError());
    EXPECT_FALSE(model.pairing());
    ASSERT_TRUE(model.snapshot());
    EXPECT_TRUE(model.snapshot()->paired);
    EXPECT_EQ(service.calls, std::vector<std::string>{"register"});
  } else {
    // The poll the model's refresh runs, as the model runs it.
    std::vector<std::string> poll{"pair-poll", "--url", server.httpOrigin(), "--development-loopback"};
    std::string answer = finish(helper.run(poll, model.pairing()->pollToken));
    EXPECT_EQ(decoding::stringObject(answer).at("status"), "paired");
    // Paired now: the directory refuses a second pairing request.
    std::vector<std::string> again{"pair-start", "--url",          server.httpOrigin(), "--development-loopback",
                                   "--name",     "Integration Mac"};
    EXPECT_THROW(finish(helper.run(again, std::nullopt)), HelperError);
  }
}

}  // namespace
}  // namespace corvane::test
