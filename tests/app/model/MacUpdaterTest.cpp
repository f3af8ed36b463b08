#include "app/model/MacUpdater.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "app/model/ModelTesting.h"
#include "support/ReadFile.h"

namespace corvane::test {
namespace {

using namespace app;
using nlohmann::json;

class FrameworkStandIn : public UpdateFramework {
 public:
  std::vector<std::string>& calls;
  bool checks = false;
  bool downloads = false;
  explicit FrameworkStandIn(std::vector<std::string>& record) : calls(record) {}
  void start() override { calls.push_back("start"); }
  void checkForUpdates() override { calls.push_back("check"); }
  bool canCheckForUpdates() const override { return true; }
  bool automaticallyChecksForUpdates() const override { return checks; }
  void setAutomaticallyChecksForUpdates(bool value) override { checks = value; }
  bool automaticallyDownloadsUpdates() const override { return downloads; }
  void setAutomaticallyDownloadsUpdates(bool value) override {
    calls.push_back(value ? "downloads on" : "downloads off");
    downloads = value;
  }
  void observe(std::function<void()>, std::function<void()>, std::function<void()>) override {}
};

std::vector<std::string> events(const std::filesystem::path& file) {
  std::vector<std::string> found;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) found.push_back(json::parse(line)["event"]);
  return found;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

class MacUpdaterTest : public testing::Test {
 protected:
  MacUpdaterTest() : defaults(QString::fromStdString((home / "defaults.ini").string()), QSettings::IniFormat) {
    bundle.buildChannel = "production";
    bundle.publicEDKey = "key";
  }

  std::unique_ptr<UpdateServiceLifecycle> lifecycle() {
    UpdateServiceLifecycle::Operations operations;
    operations.enabled = [] { return true; };
    operations.pause = [this]() -> QCoro::Task<std::string> {
      steps.push_back("pause");
      if (failPauses > 0) {
        --failPauses;
        throw ServiceError("pause failed");
      }
      co_return std::string("prep");
    };
    operations.ready = [](std::string) -> QCoro::Task<bool> { co_return true; };
    operations.cancel = [this]() -> QCoro::Task<> {
      steps.push_back("cancel");
      if (failCancel) throw ServiceError("cancel failed");
      co_return;
    };
    operations.stop = [this]() -> QCoro::Task<> {
      steps.push_back("stop");
      co_return;
    };
    operations.start = [this] { steps.push_back("start"); };
    operations.wait = []() -> QCoro::Task<> { co_return; };
    return std::make_unique<UpdateServiceLifecycle>(defaults, std::move(operations));
  }

  std::unique_ptr<MacUpdater> updater() {
    UpdateFrameworkFactory factory = [this](UpdateFrameworkDelegate&) {
      ++frameworksMade;
      auto made = std::make_unique<FrameworkStandIn>(frameworkCalls);
      framework = made.get();
      return std::unique_ptr<UpdateFramework>(std::move(made));
    };
    return std::make_unique<MacUpdater>(true, bundle, lifecycle(), factory, UpdateDiagnostics(logs, "7"));
  }

  TemporaryDirectory home;
  std::filesystem::path logs = home / ".local/state/corvane";
  QSettings defaults;
  BundleInfo bundle;
  bool failCancel = false;
  int failPauses = 0;
  int frameworksMade = 0;
  FrameworkStandIn* framework = nullptr;
  std::vector<std::string> frameworkCalls;
  std::vector<std::string> steps;
};

TEST_F(MacUpdaterTest, OnlyProductionBuildsWithASigningKeyHaveUpdates) {
  struct Case {
    std::optional<std::string> channel, key;
    bool available;
  } cases[] = {
      {"production", "key", true},
      {"staging", "key", false},
      {std::nullopt, "key", false},
      {"production", std::nullopt, false},
  };
  for (const auto& c : cases) {
    bundle.buildChannel = c.channel;
    bundle.publicEDKey = c.key;
    frameworksMade = 0;
    auto subject = updater();
    EXPECT_EQ(subject->available(), c.available) << c.channel.value_or("-");
    EXPECT_EQ(frameworksMade, c.available ? 1 : 0);
    if (!c.available) {
      EXPECT_EQ(subject->terminationReply(), TerminationReply::terminateNow);
    }
  }
  // The platform layer of this system has no framework to offer.
  bundle.bundle = home / "Applications/Corvane.app";
  bundle.home = home.path();
  EXPECT_FALSE(MacUpdater::forApp(bundle, defaults)->available());
}

TEST_F(MacUpdaterTest, QuittingWithAPendingUpdateDrainsFirst) {
  auto subject = updater();
  std::optional<bool> answer;
  QObject::connect(subject.get(), &MacUpdater::terminationAnswered, [&](bool terminate) { answer = terminate; });
  subject->willInstallUpdate({"8"});
  EXPECT_EQ(subject->terminationReply(), TerminationReply::later);
  EXPECT_EQ(subject->terminationReply(), TerminationReply::later);  // during the drain
  ASSERT_TRUE(waitUntil([&] { return answer.has_value(); }));
  EXPECT_TRUE(*answer);
  EXPECT_TRUE(subject->prepared());
  EXPECT_EQ(steps, (std::vector<std::string>{"pause", "stop"}));
  EXPECT_EQ(
      events(logs / "updates.jsonl"),
      (std::vector<std::string>{"installation_requested", "executor_drain_started", "executor_stopped_for_update"}));
  EXPECT_EQ(subject->terminationReply(), TerminationReply::terminateNow);
}

TEST_F(MacUpdaterTest, AutomaticInstallsStartTheDrainForAnUpdateWaitingOnQuit) {
  auto subject = updater();
  bool installed = false;
  subject->willInstallUpdateOnQuit({"8"}, [&] { installed = true; });
  QCoreApplication::processEvents();
  EXPECT_FALSE(subject->preparing());  // automatic installs are off
  subject->setAutomaticallyInstalls(true);
  EXPECT_TRUE(contains(frameworkCalls, "downloads on"));
  ASSERT_TRUE(waitUntil([&] { return installed; }));
  EXPECT_TRUE(subject->prepared());
  EXPECT_EQ(steps, (std::vector<std::string>{"pause", "stop"}));
  EXPECT_TRUE(contains(events(logs / "updates.jsonl"), "download_verified"));
}

TEST_F(MacUpdaterTest, AFailedAutomaticDrainIsRetriedWhileTheUpdateWaits) {
  auto subject = updater();
  subject->setRetryDelay(std::chrono::milliseconds(0));
  failPauses = 1;
  bool installed = false;
  subject->shouldPostponeRelaunch({"8"}, [&] { installed = true; });
  ASSERT_TRUE(waitUntil([&] { return installed; }));
  EXPECT_EQ(steps, (std::vector<std::string>{"pause", "cancel", "pause", "stop"}));
  EXPECT_EQ(subject->error(), "The update could not finish. Your data is kept. Try again or reopen Corvane.");
  auto logged = events(logs / "updates.jsonl");
  EXPECT_TRUE(contains(logged, "executor_drain_failed"));
  EXPECT_EQ(logged.back(), "executor_stopped_for_update");
  // Prepared: the framework may relaunch at once now.
  EXPECT_FALSE(subject->shouldPostponeRelaunch({"8"}, [] {}));
}

TEST_F(MacUpdaterTest, AQuitDrainForAnUpdateThatWentAwayKeepsTheAppRunning) {
  auto subject = updater();
  std::optional<bool> answer;
  QObject::connect(subject.get(), &MacUpdater::terminationAnswered, [&](bool terminate) { answer = terminate; });
  subject->willInstallUpdate({"8"});
  EXPECT_EQ(subject->terminationReply(), TerminationReply::later);
  subject->didAbort({"SUSparkleErrorDomain", 1});  // before the drain has run
  ASSERT_TRUE(waitUntil([&] { return answer.has_value(); }));
  EXPECT_FALSE(*answer);
  EXPECT_FALSE(subject->preparing());
  EXPECT_FALSE(subject->prepared());
  EXPECT_EQ(steps, (std::vector<std::string>{"pause", "cancel"}));
}

TEST_F(MacUpdaterTest, AFailedRestoreAtStartKeepsTheFrameworkStopped) {
  failCancel = true;
  auto subject = updater();
  finish(subject->start());
  EXPECT_EQ(subject->error(), "The update could not finish. Your data is kept. Try again or reopen Corvane.");
  EXPECT_FALSE(contains(frameworkCalls, "start"));
  std::ifstream log(logs / "updates.jsonl");
  std::string line;
  std::getline(log, line);
  json record = json::parse(line);
  EXPECT_EQ(record["event"], "startup_failed");
  EXPECT_EQ(record["build"], "7");
  EXPECT_EQ(record["errorDomain"], "ServiceError");
  EXPECT_TRUE(record.contains("at") && record.contains("errorCode"));

  failCancel = false;
  auto second = updater();
  finish(second->start());
  EXPECT_TRUE(contains(frameworkCalls, "start"));
  EXPECT_FALSE(second->error());
}

TEST_F(MacUpdaterTest, AnAbortedUpdateRestoresTheExecutor) {
  auto subject = updater();
  subject->willInstallUpdate({"8"});
  failCancel = true;
  subject->didAbort({"SUSparkleErrorDomain", 4005});
  ASSERT_TRUE(waitUntil([&] { return subject->error().has_value(); }));
  EXPECT_FALSE(subject->installationPending());
  EXPECT_EQ(steps, std::vector<std::string>{"cancel"});
  EXPECT_EQ(events(logs / "updates.jsonl"),
            (std::vector<std::string>{"installation_requested", "update_aborted", "executor_restore_failed"}));
}

TEST_F(MacUpdaterTest, TheUpdateLogRotatesPastOneMebibyte) {
  std::filesystem::create_directories(logs);
  std::ofstream(logs / "updates.previous.jsonl") << "older\n";
  std::ofstream(logs / "updates.jsonl") << std::string(UpdateDiagnostics::rotationSize, 'a');
  UpdateDiagnostics diagnostics(logs, "7");
  diagnostics.record("manual_check");  // exactly 1 MiB: not yet
  EXPECT_EQ(readFile(logs / "updates.previous.jsonl"), "older\n");
  diagnostics.record("update_found", std::string("8"));
  std::string previous = readFile(logs / "updates.previous.jsonl");
  EXPECT_EQ(previous.substr(0, UpdateDiagnostics::rotationSize), std::string(UpdateDiagnostics::rotationSize, 'a'));
  EXPECT_EQ(json::parse(previous.substr(UpdateDiagnostics::rotationSize))["event"], "manual_check");
  json record = json::parse(readFile(logs / "updates.jsonl"));
  EXPECT_EQ(record["event"], "update_found");
  EXPECT_EQ(record["targetBuild"], "8");
}

TEST_F(MacUpdaterTest, ALinkedLogFolderIsNeverWrittenThrough) {
  TemporaryDirectory elsewhere;
  std::filesystem::create_directories(logs.parent_path());
  std::filesystem::create_directory_symlink(elsewhere.path(), logs);
  UpdateDiagnostics(logs, "7").record("manual_check");
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path()));
}

}  // namespace
}  // namespace corvane::test
