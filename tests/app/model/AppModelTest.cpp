#include "app/model/AppModel.h"

#include <gtest/gtest.h>

#include <fstream>

#include "app/model/HelperError.h"
#include "app/model/ModelStandIns.h"
#include "app/model/ModelTesting.h"
#include "support/ReadFile.h"

namespace corvane::test {
namespace {

using namespace app;
using namespace std::chrono_literals;
using nlohmann::json;

const WallTime start = *parseTimestamp("2026-01-01T12:00:00Z");

json status(bool paired, json health = nullptr) {
  json document = {{"paired", paired}, {"codexAvailable", true}};
  if (!health.is_null()) document["health"] = health;
  return document;
}

json answer(const json& document) { return {{"stdout", document.dump()}}; }
const json failure = {{"stderr", "Corvane: failed"}, {"exit", 2}};
const json pairStart =
    answer({{"id", "p1"}, {"code", "ABCD-1234"}, {"pollToken", "poll-secret"}, {"expiresAt", "2026-01-01T12:10:00Z"}});
const json emailStart = answer({{"challengeId", "c1"}, {"expiresAt", "2026-01-01T12:10:00Z"}});

class AppModelTest : public testing::Test {
 protected:
  AppModelTest() {
    std::filesystem::create_directories(home / "Applications/Corvane.app");
    bundle.bundle = home / "Applications/Corvane.app";
    bundle.home = home.path();
    bundle.hostName = "Test Mac";
    bundle.coordinatorURL = "https://coordinator.test";
    bundle.shortVersion = "1.2.3";
    bundle.buildVersion = "45";
    bundle.systemVersion = "6.1.0";
  }

  AppModel& model() {
    if (!model_)
      model_ =
          std::make_unique<AppModel>(bundle, HelperClient(tool.executable()), service, desktop, [this] { return now; });
    return *model_;
  }

  // Refreshes with the tool answering status with document.
  void refreshWith(const json& document) {
    scripted["app-status"] = answer(document);
    tool.script(scripted);
    finish(model().refresh());
  }

  void script(const json& answers) {
    for (const auto& [command, reply] : answers.items()) scripted[command] = reply;
    tool.script(scripted);
  }

  std::vector<json> callsOf(const std::string& command) {
    std::vector<json> found;
    for (const auto& call : tool.calls())
      if (call["arguments"][0] == command) found.push_back(call);
    return found;
  }

  TemporaryDirectory home;
  BundleInfo bundle;
  StandInTool tool;
  BackgroundServiceStandIn service;
  DesktopStandIn desktop;
  WallTime now = start;
  json scripted = json::object();
  std::unique_ptr<AppModel> model_;
};

TEST_F(AppModelTest, PairingSendsTheDeviceNameCutTo80Characters) {
  std::string name;
  for (int i = 0; i < 81; ++i) name += "é";  // two bytes each; one character
  refreshWith(status(false));
  model().setDeviceName(name);
  script({{"pair-start", pairStart}});
  finish(model().createPairing());
  auto runs = callsOf("pair-start");
  ASSERT_EQ(runs.size(), 1u);
  std::string sent = name.substr(0, 160);
  EXPECT_EQ(runs[0]["arguments"], json({"pair-start", "--url", "https://coordinator.test", "--name", sent}));
  EXPECT_EQ(model().deviceName(), name);
  ASSERT_TRUE(model().pairing());
  EXPECT_EQ(model().pairing()->code, "ABCD-1234");
}

TEST_F(AppModelTest, PairingIsRefusedOutsideAnApplicationsFolderOrWithoutCurrentStatus) {
  // No status yet: refused.
  finish(model().createPairing());
  EXPECT_TRUE(tool.calls().empty());

  bundle.bundle = home / "Downloads/Corvane.app";
  std::filesystem::create_directories(bundle.bundle);
  model_.reset();
  refreshWith(status(false));
  EXPECT_EQ(model().state(), ConnectionState::installation);
  EXPECT_EQ(model().statusDetail(), "Move Corvane to Applications, then reopen it to pair.");
  finish(model().createPairing());
  EXPECT_TRUE(callsOf("pair-start").empty());
}

TEST(AppModelInstallationTest, InstallationFoldersAreTheApplicationsFoldersAndThePackagesFolder) {
  TemporaryDirectory home;
  std::filesystem::create_directories(home / "Applications");
  struct Case {
    std::filesystem::path folder;
    bool installed;
  };
  const Case cases[] = {
      {"/Applications", true},
      {home / "Applications", true},
      {"/opt/corvane", true},  // the Debian package's place
      {"/opt", false},
      {"/opt/corvane/Corvane.app", false},
      {"/opt/corvane-old", false},
      {home / "Downloads", false},
      {"/Applications/Sub", false},
  };
  for (const auto& [folder, installed] : cases)
    EXPECT_EQ(AppModel::isInstallationFolder(folder, home.path()), installed) << folder;
}

TEST_F(AppModelTest, AnotherEmailCodeOnlyAfterSixtySecondsFromASuccessfulRequest) {
  refreshWith(status(false));
  model().setEmail("  user@example.com \n");
  script({{"pair-start", pairStart}, {"email-start", json::array({failure, emailStart})}});

  finish(model().sendEmailCode());  // fails: no waiting time starts
  EXPECT_TRUE(model().error());
  finish(model().sendEmailCode());
  EXPECT_FALSE(model().error());
  ASSERT_TRUE(model().emailChallenge());
  EXPECT_EQ(model().emailResendAvailableAt(), start + 60s);
  auto runs = callsOf("email-start");
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(json::parse(runs[1]["input"].get<std::string>()),
            json({{"email", "user@example.com"}, {"language", "en"}}));
  EXPECT_EQ(callsOf("pair-start").size(), 1u);  // the open pairing is reused

  now = start + 59s;
  finish(model().sendEmailCode());
  EXPECT_EQ(callsOf("email-start").size(), 2u);
  now = start + 60s;
  finish(model().sendEmailCode());
  EXPECT_EQ(callsOf("email-start").size(), 3u);
}

TEST_F(AppModelTest, VerificationNeedsSixAsciiDigitsAndAnOpenChallenge) {
  refreshWith(status(false));
  script({{"pair-start", pairStart}, {"email-start", emailStart}});
  finish(model().sendEmailCode());
  for (std::string code : {"12345", "1234567", "12a456", "12345\xd9\xa6"}) {
    model().setEmailCode(code);
    EXPECT_FALSE(model().canVerifyEmail()) << code;
    finish(model().verifyEmail());
  }
  EXPECT_TRUE(callsOf("email-verify").empty());
  EXPECT_FALSE(model().error());

  now = start + 10min;
  model().setEmailCode("123456");
  finish(model().verifyEmail());
  EXPECT_EQ(model().error(), "This verification code has expired. Request a new code.");
  EXPECT_TRUE(callsOf("email-verify").empty());
}

TEST_F(AppModelTest, AFailedConfirmationIsRetriedWithoutANewCode) {
  refreshWith(status(false));
  script({{"pair-start", pairStart},
          {"email-start", emailStart},
          {"email-verify", answer({{"token", "session-1"}})},
          {"pair-confirm", json::array({failure, answer(json::object())})},
          {"pair-poll", json::array({answer({{"status", "pending"}}), answer({{"status", "paired"}})})}});
  finish(model().sendEmailCode());
  model().setEmailCode("123456");
  finish(model().verifyEmail());
  EXPECT_EQ(model().error(), HelperError(HelperError::Kind::failed).description());
  EXPECT_EQ(model().emailSession(), "session-1");

  script({{"app-status", answer(status(true))}, {"pair-confirm", answer(json::object())}});
  finish(model().verifyEmail());
  EXPECT_EQ(callsOf("email-verify").size(), 1u);
  auto confirms = callsOf("pair-confirm");
  ASSERT_EQ(confirms.size(), 2u);
  EXPECT_EQ(json::parse(confirms[1]["input"].get<std::string>()),
            json({{"token", "session-1"}, {"id", "p1"}, {"code", "ABCD-1234"}}));
  EXPECT_EQ(json::parse(callsOf("email-verify")[0]["input"].get<std::string>()),
            json({{"challengeId", "c1"}, {"code", "123456"}}));
  // The refresh after the confirmation sees the Mac paired and starts the service.
  EXPECT_TRUE(model().snapshot()->paired);
  EXPECT_FALSE(model().emailSession());
  EXPECT_FALSE(model().error());
}

TEST_F(AppModelTest, AnOpenPairingIsPolledUntilApproved) {
  refreshWith(status(false));
  script({{"pair-start", pairStart},
          {"pair-poll",
           json::array({answer({{"status", "pending"}}), answer({{"status", 1}}), answer({{"status", "paired"}})})}});
  finish(model().createPairing());

  finish(model().refresh());  // pending: nothing changes
  EXPECT_TRUE(model().pairing());
  EXPECT_FALSE(model().statusError());
  EXPECT_EQ(callsOf("pair-poll")[0]["input"], "poll-secret\n");

  finish(model().refresh());  // a value that is no string
  EXPECT_EQ(model().statusError(), HelperError(HelperError::Kind::invalidResponse).description());
  EXPECT_EQ(model().state(), ConnectionState::unavailable);

  script({{"app-status", json::array({answer(status(false)), answer(status(true))})},
          {"pair-poll", answer({{"status", "paired"}})}});
  finish(model().refresh());
  EXPECT_FALSE(model().pairing());
  EXPECT_FALSE(model().statusError());
  EXPECT_TRUE(model().snapshot()->paired);
  EXPECT_EQ(service.calls, std::vector<std::string>{"register"});
  EXPECT_EQ(model().serviceStatus(), LoginItemStatus::enabled);
  EXPECT_EQ(model().state(), ConnectionState::connecting);
}

TEST_F(AppModelTest, APairingWithAnUnreadableExpiryIsNeverPolled) {
  refreshWith(status(false));
  json broken = pairStart;
  broken["stdout"] = json({{"id", "p0"}, {"code", "X"}, {"pollToken", "t"}, {"expiresAt", "soon"}}).dump();
  script({{"pair-start", json::array({broken, pairStart})}, {"email-start", emailStart}});
  finish(model().createPairing());
  ASSERT_TRUE(model().pairing());
  finish(model().refresh());
  EXPECT_TRUE(callsOf("pair-poll").empty());
  finish(model().sendEmailCode());
  EXPECT_EQ(callsOf("pair-start").size(), 2u);
  EXPECT_EQ(model().pairing()->id, "p1");
}

TEST_F(AppModelTest, SignOutCleanUpRestartsTheServiceWhenRetiringFails) {
  json pending = status(true, {{"state", "stopped"}, {"updatedAt", "2026-01-01T12:00:00Z"}, {"rePairReady", true}});
  pending["signOutPending"] = true;
  service.current = LoginItemStatus::enabled;
  script({{"prepare-repair", failure}});
  refreshWith(pending);
  EXPECT_EQ(service.calls, (std::vector<std::string>{"unregister", "register"}));
  EXPECT_EQ(model().statusError(), HelperError(HelperError::Kind::failed).description());
  EXPECT_EQ(model().state(), ConnectionState::signingOut);
  EXPECT_FALSE(model().checking());

  script({{"prepare-repair", answer(json::object())},
          {"app-status", json::array({answer(pending), answer(status(false))})}});
  service.calls.clear();
  finish(model().refresh());
  EXPECT_EQ(service.calls, std::vector<std::string>{"unregister"});
  EXPECT_FALSE(model().statusError());
  EXPECT_EQ(model().state(), ConnectionState::signIn);
}

TEST_F(AppModelTest, SignOutRestartsTheServiceSoTheExecutorCarriesItOut) {
  service.current = LoginItemStatus::enabled;
  json online = status(
      true, {{"state", "online"}, {"updatedAt", "2026-01-01T12:00:00Z"}, {"lastHeartbeatAt", "2026-01-01T11:59:59Z"}});
  refreshWith(online);
  EXPECT_EQ(model().state(), ConnectionState::online);
  EXPECT_EQ(model().quitDetail(), "Quitting this interface leaves the background service running.");
  json signingOut = online;
  signingOut["signOutPending"] = true;
  script({{"sign-out", answer(json::object())}, {"app-status", answer(signingOut)}});
  finish(model().signOut());
  EXPECT_EQ(tool.commands(), (std::vector<std::string>{"app-status", "sign-out", "app-status", "app-status"}));
  EXPECT_EQ(service.calls, (std::vector<std::string>{"unregister", "register"}));
  EXPECT_EQ(model().state(), ConnectionState::signingOut);
  EXPECT_EQ(model().quitDetail(), "Background cleanup can continue. Reopen Corvane to confirm completion.");
  EXPECT_FALSE(model().busy());
}

TEST_F(AppModelTest, AuthorizeCopiesTheCodeOfAListedRequestOnly) {
  service.current = LoginItemStatus::enabled;
  json document = status(true);
  document["logins"] = {{{"id", "l1"},
                         {"verificationUrl", "https://auth.openai.com/codex/device"},
                         {"userCode", "AB-12"},
                         {"expiresAt", "2026-01-01T12:15:00Z"}}};
  refreshWith(document);
  Login listed = model().pendingLogins().at(0);
  Login vanished = listed;
  vanished.id = "l2";
  EXPECT_EQ(model().authorize(vanished), "This request is no longer available. Check its status on your iPhone.");
  EXPECT_TRUE(desktop.copied.empty());

  struct Case {
    bool copy, open;
    const char* message;
  } cases[] = {
      {true, true, "Code copied and official page opened. Authorization is not yet confirmed."},
      {false, true, "Official page opened, but copying failed. Enter the code shown here."},
      {true, false, "Could not open the official page. Try again or check your default browser."},
  };
  for (const auto& c : cases) {
    desktop.copyWorks = c.copy;
    desktop.openWorks = c.open;
    EXPECT_EQ(model().authorize(listed), c.message);
  }
  EXPECT_EQ(desktop.copied.back(), "AB-12");
  EXPECT_EQ(desktop.opened.back(), "https://auth.openai.com/codex/device");
}

TEST_F(AppModelTest, ExportedDiagnosticsCarryTheAppAndSystemVersions) {
  refreshWith(status(true));
  script({{"diagnostics", answer({{"appVersion", "forged"}, {"macOS", "forged"}, {"events", 3}})}});
  finish(model().exportDiagnostics());  // cancelled: nothing runs
  EXPECT_TRUE(callsOf("diagnostics").empty());

  desktop.destination = home / "Corvane-diagnostics.json";
  EXPECT_EQ(finish(model().exportDiagnostics()), "Diagnostics exported. You can send this file to support.");
  EXPECT_EQ(desktop.proposedNames.back(), "Corvane-diagnostics.json");
  std::string text = readFile(*desktop.destination);
  json written = json::parse(text);
  EXPECT_EQ(written, json({{"appVersion", "1.2.3"}, {"appBuild", "45"}, {"macOS", "6.1.0"}, {"events", 3}}));

  script({{"diagnostics", answer(json::array())}});
  EXPECT_EQ(finish(model().exportDiagnostics()), "Could not export diagnostics. Check the destination and try again.");
}

TEST_F(AppModelTest, ProblemReportsAndDiagnosticSettingsUpdateTheStatus) {
  refreshWith(status(true));
  script({{"support-report", answer({{"enabled", true}, {"pendingCount", 2}, {"reportId", "R-1"}})},
          {"diagnostics-setting", json::array({answer({{"enabled", false}, {"pendingCount", 0}}), answer({})})}});
  EXPECT_EQ(finish(model().reportProblem("it broke")), std::nullopt);
  EXPECT_EQ(model().snapshot()->supportDiagnostics->reportId, "R-1");
  EXPECT_EQ(finish(model().reportProblem(std::string(9000, 'x'))),
            "Could not prepare the report. You can export diagnostics instead.");
  EXPECT_EQ(callsOf("support-report").size(), 1u);

  finish(model().setAutomaticDiagnostics(false));
  EXPECT_EQ(callsOf("diagnostics-setting")[0]["input"], "{\"enabled\":false}\n");
  EXPECT_FALSE(model().snapshot()->supportDiagnostics->enabled);
  finish(model().setAutomaticDiagnostics(true));
  EXPECT_EQ(model().error(), "Could not update diagnostic settings. Try again.");
}

TEST_F(AppModelTest, StartAndStopTheBackgroundService) {
  refreshWith(status(true));
  EXPECT_EQ(model().statusDetail(), "Once started, the executor runs automatically when you log in to this Mac.");
  service.failRegister = true;
  finish(model().start());
  EXPECT_EQ(model().error(),
            "The background service could not start. Check background permissions in the desktop's autostart settings "
            "and retry.");
  service.failRegister = false;
  finish(model().start());
  EXPECT_FALSE(model().error());
  EXPECT_TRUE(model().registered());
  EXPECT_EQ(model().quitDetail(), "Background activity is enabled; its connection is not confirmed.");
  service.failUnregister = true;
  finish(model().stop());
  EXPECT_EQ(model().error(), "The background service could not stop. Try again later.");
}

TEST_F(AppModelTest, TheStatusSentenceFollowsTheFirstMatchingCondition) {
  json fresh = {
      {"state", "online"}, {"updatedAt", "2026-01-01T12:00:00Z"}, {"lastHeartbeatAt", "2026-01-01T11:59:59Z"}};
  json revoked = {{"state", "revoked"}, {"updatedAt", "2026-01-01T12:00:00Z"}};
  json ready = revoked;
  ready["rePairReady"] = true;
  json storage = fresh;
  storage["state"] = "storage_error";
  json noCodex = status(false);
  noCodex["codexAvailable"] = false;
  const auto enabled = LoginItemStatus::enabled;
  struct Case {
    json document;
    LoginItemStatus service;
    const char* detail;
    const char* quit;
  } cases[] = {
      {noCodex, enabled,
       "The bundled Codex is incomplete. Reinstall the app. No separate Python, Node, or Codex installation is needed.",
       "Background activity is enabled; its connection is not confirmed."},
      {status(false), LoginItemStatus::notRegistered,
       "Sign in with your iPhone or an email code. This Mac will be linked to your Corvane account.",
       "The background service is not enabled."},
      {status(true, ready), LoginItemStatus::notRegistered,
       "Old connection cleanup is confirmed. You can pair again, then reconnect Codex accounts from your iPhone.",
       "Cleanup is paused while the background service is stopped. Reopen Corvane to continue."},
      {status(true, revoked), LoginItemStatus::requiresApproval,
       "The old device is disabled. Keep the background service running and online while it cleans up credentials "
       "and reports results.",
       "Background activity still needs your permission."},
      {status(true, fresh), LoginItemStatus::requiresApproval,
       "Allow Corvane to run in the background in the desktop's autostart settings.",
       "Background activity still needs your permission."},
      {status(true, fresh), enabled,
       "This Mac is available for background tasks. ChatGPT authorization is managed separately.",
       "Quitting this interface leaves the background service running."},
      {status(true, storage), enabled, "The executor cannot save task state. Check disk space and folder permissions.",
       "Background activity is enabled; its connection is not confirmed."},
      {status(true), enabled,
       "Background activity is enabled, but a recent connection has not been confirmed. Check your network and "
       "unlock the login keyring, then check status again.",
       "Background activity is enabled; its connection is not confirmed."},
  };
  for (const auto& c : cases) {
    service.current = c.service;
    refreshWith(c.document);
    EXPECT_EQ(model().statusDetail(), c.detail) << c.document;
    EXPECT_EQ(model().quitDetail(), c.quit) << c.document;
  }
  // A failed read keeps the last status but says it is not confirmed.
  script({{"app-status", failure}});
  finish(model().refresh());
  EXPECT_EQ(model().statusDetail(),
            "The latest status could not be confirmed. Last known information is shown; check again before making "
            "changes.");
  EXPECT_TRUE(model().snapshot());
}

TEST_F(AppModelTest, RetiringARevokedPairingStopsTheServiceUntilTheNextPairing) {
  json revoked = status(true, {{"state", "revoked"}, {"updatedAt", "2026-01-01T12:00:00Z"}, {"rePairReady", true}});
  service.current = LoginItemStatus::enabled;
  script({{"prepare-repair", failure}});
  refreshWith(revoked);
  ASSERT_TRUE(model().canPrepareRepair());
  finish(model().prepareRepair());
  EXPECT_EQ(model().error(),
            "Cannot pair again yet. Stay online and let the background service finish credential cleanup and "
            "reporting, then retry.");
  EXPECT_EQ(service.calls, (std::vector<std::string>{"unregister", "register"}));

  script({{"app-status", answer(status(false))}, {"prepare-repair", answer(json::object())}});
  service.calls.clear();
  finish(model().prepareRepair());
  EXPECT_FALSE(model().error());
  EXPECT_EQ(service.calls, std::vector<std::string>{"unregister"});
  EXPECT_EQ(model().state(), ConnectionState::signIn);
  EXPECT_FALSE(model().registered());
}

TEST_F(AppModelTest, TheRefreshTimerReadsTheStatus) {
  script({{"app-status", answer(status(true))}});
  model().startRefreshing();
  QEventLoop loop;
  QObject::connect(&model(), &AppModel::changed, &loop, [&] {
    if (model().snapshot() && !model().checking()) loop.quit();
  });
  QTimer::singleShot(120000, &loop, &QEventLoop::quit);
  loop.exec();
  ASSERT_TRUE(model().snapshot());
  EXPECT_EQ(model().state(), ConnectionState::stopped);
}

}  // namespace
}  // namespace corvane::test
