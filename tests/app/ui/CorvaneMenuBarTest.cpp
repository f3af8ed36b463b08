#include <QAction>
#include <QApplication>

#include "app/ui/InterfaceTesting.h"
#include "app/ui/SingleInstance.h"

namespace corvane::test {
namespace {

using namespace app;
using nlohmann::json;

QAction* action(ui::CorvaneMenuBar& scene, const char* name) {
  for (QAction* found : scene.menu().actions())
    if (found->objectName() == name) return found;
  ADD_FAILURE() << name;
  return nullptr;
}

using CorvaneMenuBarTest = InterfaceTest;

TEST_F(CorvaneMenuBarTest, BeforeTheFirstSnapshotTheMenuIsCheckingWithoutAttention) {
  auto& menuBar = scene();
  EXPECT_EQ(action(menuBar, "menu-heading")->text(), "Corvane Staging · Checking…");
  EXPECT_EQ(menuBar.tray().toolTip(), "Corvane Staging · Checking…");
  EXPECT_FALSE(action(menuBar, "menu-manage")->isEnabled());
  EXPECT_FALSE(action(menuBar, "menu-allow-background")->isVisible());
  EXPECT_FALSE(action(menuBar, "menu-view-authorization")->isVisible());
  EXPECT_FALSE(menuBar.attention());
  EXPECT_EQ(action(menuBar, "menu-quit")->shortcut(), QKeySequence(QKeySequence::Quit));
  // With a tray the window waits for the menu.
  EXPECT_FALSE(menuBar.window().isVisible());
}

TEST_F(CorvaneMenuBarTest, TheMenuFollowsTheState) {
  json pending = statusDocument(true, onlineHealth());
  pending["logins"] = {{{"id", "l1"},
                        {"verificationUrl", "https://auth.openai.com/codex/device"},
                        {"userCode", "AB-12"},
                        {"expiresAt", "2026-01-01T12:15:00Z"}}};
  struct Case {
    const char* name;
    json document;
    LoginItemStatus service;
    bool attention, allowBackground, viewAuthorization;
  } cases[] = {
      {"online", statusDocument(true, onlineHealth()), LoginItemStatus::enabled, false, false, false},
      {"online with a pending authorization", pending, LoginItemStatus::enabled, true, false, true},
      {"waiting for approval", statusDocument(true, onlineHealth()), LoginItemStatus::requiresApproval, true, true,
       false},
      {"not paired", statusDocument(false), LoginItemStatus::notRegistered, false, false, false},
  };
  auto& menuBar = scene();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    service.current = c.service;
    refreshWith(c.document);
    EXPECT_EQ(menuBar.attention(), c.attention);
    EXPECT_EQ(action(menuBar, "menu-allow-background")->isVisible(), c.allowBackground);
    EXPECT_EQ(action(menuBar, "menu-view-authorization")->isVisible(), c.viewAuthorization);
    EXPECT_TRUE(action(menuBar, "menu-manage")->isEnabled());
    EXPECT_EQ(action(menuBar, "menu-heading")->text().toStdString(), "Corvane Staging · " + title(model().state()));
  }
  EXPECT_EQ(action(menuBar, "menu-quit-detail")->text().toStdString(), model().quitDetail());
}

TEST_F(CorvaneMenuBarTest, MenuItemsOpenTheOneWindowAndClosingItKeepsTheAppRunning) {
  service.current = LoginItemStatus::requiresApproval;
  refreshWith(statusDocument(true, onlineHealth()));
  auto& menuBar = scene();
  action(menuBar, "menu-allow-background")->trigger();
  EXPECT_EQ(settingsOpened, 1);
  EXPECT_FALSE(menuBar.window().isVisible());

  action(menuBar, "menu-manage")->trigger();
  EXPECT_TRUE(model().showingManagement());
  EXPECT_TRUE(menuBar.window().isVisible());
  EXPECT_EQ(menuBar.window().size(), QSize(520, 640));
  EXPECT_EQ(menuBar.window().windowTitle(), "Corvane Staging");

  menuBar.window().close();
  EXPECT_FALSE(menuBar.window().isVisible());
  action(menuBar, "menu-open")->trigger();
  EXPECT_TRUE(menuBar.window().isVisible());
  EXPECT_EQ(QApplication::topLevelWidgets().count(&menuBar.window()), 1);

  action(menuBar, "menu-quit")->trigger();
  EXPECT_EQ(quits, 1);
}

TEST_F(CorvaneMenuBarTest, WithoutATrayTheWindowOpensAtStartAndSaysSo) {
  auto& menuBar = scene(false);
  EXPECT_TRUE(menuBar.window().isVisible());
  EXPECT_TRUE(shown("tray-missing"));
}

TEST_F(CorvaneMenuBarTest, AProductionBuildIsCalledCorvane) {
  bundle.buildChannel = "production";
  auto& menuBar = scene();
  EXPECT_EQ(action(menuBar, "menu-heading")->text(), "Corvane · Checking…");
  EXPECT_EQ(menuBar.window().windowTitle(), "Corvane");
  EXPECT_FALSE(shown("preview-badge"));
}

TEST(SingleInstanceTest, ASecondInstanceAsksTheFirstToOpenItsWindow) {
  QString name = QStringLiteral("corvane-test-%1").arg(QCoreApplication::applicationPid());
  ui::SingleInstance first(name);
  ASSERT_TRUE(first.listen());
  int requests = 0;
  QObject::connect(&first, &ui::SingleInstance::openRequested, [&] { ++requests; });
  ui::SingleInstance second(name);
  EXPECT_TRUE(second.askRunningInstance());
  EXPECT_TRUE(waitUntil([&] { return requests == 1; }));

  ui::SingleInstance nobody(name + "-absent");
  EXPECT_FALSE(nobody.askRunningInstance());
}

}  // namespace
}  // namespace corvane::test
