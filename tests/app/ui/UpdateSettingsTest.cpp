#include <QAction>

#include "app/ui/InterfaceTesting.h"
#include "app/ui/ManageMacSheet.h"

namespace corvane::test {
namespace {

using namespace app;

// The update framework as a record of what the controller asked.
class FrameworkStandIn : public UpdateFramework {
 public:
  explicit FrameworkStandIn(std::vector<std::string>& record) : calls(record) {}
  void start() override { calls.push_back("start"); }
  void checkForUpdates() override { calls.push_back("check"); }
  bool canCheckForUpdates() const override { return true; }
  bool automaticallyChecksForUpdates() const override { return checks; }
  void setAutomaticallyChecksForUpdates(bool value) override {
    calls.push_back(value ? "checks on" : "checks off");
    checks = value;
  }
  bool automaticallyDownloadsUpdates() const override { return false; }
  void setAutomaticallyDownloadsUpdates(bool) override {}
  void observe(std::function<void()>, std::function<void()>, std::function<void()>) override {}

  std::vector<std::string>& calls;
  bool checks = false;
};

class UpdateSettingsTest : public InterfaceTest {
 protected:
  UpdateSettingsTest() {
    bundle.buildChannel = "production";
    bundle.publicEDKey = "key";
  }

  // A production model whose updates are available.
  void makeModel() {
    UpdateFrameworkFactory factory = [this](UpdateFrameworkDelegate&) {
      return std::unique_ptr<UpdateFramework>(std::make_unique<FrameworkStandIn>(calls));
    };
    auto updater = std::make_unique<MacUpdater>(true, bundle, nullptr, factory,
                                                UpdateDiagnostics(home / "logs", bundle.buildVersion.value_or("")));
    model_ = std::make_unique<AppModel>(
        bundle, HelperClient(tool.executable()), service, desktop, [this] { return now; }, std::move(updater));
  }

  std::vector<std::string> calls;
};

TEST_F(UpdateSettingsTest, AvailableUpdatesShowInTheMenuAndTheSheet) {
  makeModel();
  auto& menuBar = scene();
  QAction* check = nullptr;
  for (QAction* action : menuBar.menu().actions())
    if (action->objectName() == "menu-check-updates") check = action;
  ASSERT_TRUE(check);
  EXPECT_TRUE(check->isVisible());
  EXPECT_TRUE(check->isEnabled());
  check->trigger();
  EXPECT_EQ(calls, std::vector<std::string>{"check"});

  window().present();
  model().setShowingManagement(true);
  auto& sheet = *window().managementSheet();
  auto* settings = sheet.findChild<QWidget*>("update-settings");
  ASSERT_TRUE(settings);
  EXPECT_TRUE(settings->isVisibleTo(&sheet));
  auto* automatic = sheet.findChild<QCheckBox*>("automatically-check");
  EXPECT_FALSE(automatic->isChecked());
  automatic->click();
  EXPECT_TRUE(model().updates()->automaticallyChecks());
  EXPECT_TRUE(automatic->isChecked());
  EXPECT_EQ(calls.back(), "checks on");
}

}  // namespace
}  // namespace corvane::test
