#include "app/model/UpdateServiceLifecycle.h"

#include <gtest/gtest.h>

#include "app/model/HelperError.h"
#include "app/model/ModelStandIns.h"
#include "app/model/ModelTesting.h"

namespace corvane::test {
namespace {

using namespace app;
using nlohmann::json;

// The lifecycle with recording steps: the executor becomes ready after
// readyAfter checks (never when negative).
class LifecycleTest : public testing::Test {
 protected:
  LifecycleTest() : defaults(QString::fromStdString((directory / "defaults.ini").string()), QSettings::IniFormat) {}

  UpdateServiceLifecycle lifecycle() {
    UpdateServiceLifecycle::Operations operations;
    operations.enabled = [this] { return running; };
    operations.pause = [this]() -> QCoro::Task<std::string> {
      steps.push_back("pause");
      co_return std::string("prep-1");
    };
    operations.ready = [this](std::string id) -> QCoro::Task<bool> {
      steps.push_back("ready " + id);
      ++checks;
      co_return readyAfter >= 0 && checks > readyAfter;
    };
    operations.cancel = [this]() -> QCoro::Task<> {
      steps.push_back("cancel");
      co_return;
    };
    operations.stop = [this]() -> QCoro::Task<> {
      steps.push_back("stop");
      running = false;
      co_return;
    };
    operations.start = [this] {
      steps.push_back("start");
      if (failStart) throw ServiceError("refused");
      running = true;
    };
    operations.wait = [this]() -> QCoro::Task<> {
      ++waits;
      if (waits == cancelAfterWaits) pending = false;
      co_return;
    };
    return UpdateServiceLifecycle(defaults, std::move(operations));
  }

  bool flag() { return defaults.value(UpdateServiceLifecycle::resumeKey, false).toBool(); }

  TemporaryDirectory directory;
  QSettings defaults;
  bool running = true;
  bool pending = true;
  bool failStart = false;
  int readyAfter = 0;
  int checks = 0;
  int waits = 0;
  int cancelAfterWaits = -1;
  std::vector<std::string> steps;
};

TEST_F(LifecycleTest, AStoppedServiceNeedsNoDrain) {
  running = false;
  auto subject = lifecycle();
  finish(subject.drain([this] { return pending; }));
  finish(subject.restore());
  EXPECT_EQ(steps, std::vector<std::string>{"cancel"});
  EXPECT_FALSE(flag());
}

TEST_F(LifecycleTest, ADrainedServiceIsStoppedAndRestoredAfterTheUpdate) {
  readyAfter = 2;
  auto subject = lifecycle();
  finish(subject.drain([this] { return pending; }));
  EXPECT_EQ(steps, (std::vector<std::string>{"pause", "ready prep-1", "ready prep-1", "ready prep-1", "stop"}));
  EXPECT_TRUE(flag());

  // The next launch: the registration fails and the flag stays for the one after.
  steps.clear();
  failStart = true;
  EXPECT_THROW(finish(subject.restore()), ServiceError);
  EXPECT_TRUE(flag());
  failStart = false;
  finish(subject.restore());
  EXPECT_EQ(steps, (std::vector<std::string>{"cancel", "start", "cancel", "start"}));
  EXPECT_FALSE(flag());
  EXPECT_TRUE(running);
}

TEST_F(LifecycleTest, TheDrainGivesUpAfter120Checks) {
  readyAfter = -1;
  auto subject = lifecycle();
  try {
    finish(subject.drain([this] { return pending; }));
    ADD_FAILURE() << "the drain succeeded";
  } catch (const HelperError& error) {
    EXPECT_EQ(error.kind(), HelperError::Kind::timedOut);
  }
  EXPECT_EQ(checks, 120);
  EXPECT_EQ(steps.back(), "ready prep-1");
  finish(subject.restore());
  EXPECT_EQ(steps.back(), "cancel");
  EXPECT_TRUE(running);  // never stopped
  EXPECT_FALSE(flag());
}

TEST_F(LifecycleTest, AnUpdateThatGoesAwayCancelsTheDrainBeforeTheStop) {
  readyAfter = -1;
  cancelAfterWaits = 3;
  auto subject = lifecycle();
  EXPECT_THROW(finish(subject.drain([this] { return pending; })), UpdateCancelled);
  EXPECT_EQ(checks, 3);
  EXPECT_TRUE(running);
  EXPECT_FALSE(flag());
}

TEST_F(LifecycleTest, TheLiveStepsAskTheToolForTheirPreparation) {
  StandInTool tool;
  auto service = std::make_shared<BackgroundServiceStandIn>();
  service->current = LoginItemStatus::enabled;
  json other = {
      {"paired", true},
      {"codexAvailable", true},
      {"health", {{"state", "online"}, {"updatedAt", "x"}, {"updatePreparationID", "u2"}, {"updateReady", true}}}};
  json mine = other;
  mine["health"]["updatePreparationID"] = "u1";
  json notReady = mine;
  notReady["health"]["updateReady"] = false;
  tool.script({{"prepare-update", {{"stdout", json({{"id", "u1"}}).dump()}}},
               {"app-status",
                json::array({{{"stdout", other.dump()}}, {{"stdout", notReady.dump()}}, {{"stdout", mine.dump()}}})},
               {"cancel-update", {{"stdout", ""}}}});
  auto subject = UpdateServiceLifecycle::live(defaults, HelperClient(tool.executable()), service);
  // One second between checks, twice: the executor answers for another drain, then not yet.
  finish(subject->drain([] { return true; }));
  EXPECT_EQ(tool.commands(), (std::vector<std::string>{"prepare-update", "app-status", "app-status", "app-status"}));
  EXPECT_EQ(service->calls, std::vector<std::string>{"unregister"});
  finish(subject->restore());
  EXPECT_EQ(tool.commands().back(), "cancel-update");
  EXPECT_EQ(service->calls, (std::vector<std::string>{"unregister", "register"}));
  EXPECT_FALSE(flag());
}

}  // namespace
}  // namespace corvane::test
