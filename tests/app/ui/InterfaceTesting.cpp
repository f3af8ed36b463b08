#include "app/ui/InterfaceTesting.h"

#include <QApplication>
#include <QTest>

namespace corvane::test {

using nlohmann::json;

InterfaceTest::InterfaceTest() {
  std::filesystem::create_directories(home / "Applications/Corvane.app");
  bundle.bundle = home / "Applications/Corvane.app";
  bundle.home = home.path();
  bundle.hostName = "Test Mac";
  bundle.coordinatorURL = "https://coordinator.test";
  bundle.shortVersion = "1.2.3";
  bundle.buildVersion = "45";
  services.desktop = &desktop;
  services.clock = [this] { return now; };
  services.openBackgroundSettings = [this] { ++settingsOpened; };
  services.quit = [this] { ++quits; };
}

InterfaceTest::~InterfaceTest() {
  // An operation a click started still refers to the model: let it end.
  if (model_) {
    EXPECT_TRUE(waitUntil([this] { return !model_->busy() && !model_->checking(); }));
  }
  scene_.reset();
  model_.reset();
}

app::AppModel& InterfaceTest::model() {
  if (!model_)
    model_ = std::make_unique<app::AppModel>(bundle, app::HelperClient(tool.executable()), service, desktop,
                                             [this] { return now; });
  return *model_;
}

app::ui::CorvaneMenuBar& InterfaceTest::scene(bool trayAvailable) {
  if (!scene_) scene_ = std::make_unique<app::ui::CorvaneMenuBar>(model(), services, trayAvailable);
  return *scene_;
}

void InterfaceTest::script(const json& answers) {
  for (const auto& [command, reply] : answers.items()) scripted[command] = reply;
  tool.script(scripted);
}

void InterfaceTest::refreshWith(const json& document) {
  script({{"app-status", answerWith(document)}});
  finish(model().refresh());
}

bool InterfaceTest::shown(const char* name) {
  QWidget* widget = find<QWidget>(name);
  return widget && widget->isVisibleTo(&window());
}

void InterfaceTest::click(const char* name) {
  auto* button = find<QAbstractButton>(name);
  ASSERT_TRUE(button->isVisibleTo(&window()) && button->isEnabled()) << name;
  button->click();
}

json statusDocument(bool paired, json health) {
  json document = {{"paired", paired}, {"codexAvailable", true}};
  if (!health.is_null()) document["health"] = health;
  return document;
}

json answerWith(const json& document) { return {{"stdout", document.dump()}}; }

json onlineHealth() {
  return {{"state", "online"}, {"updatedAt", "2026-01-01T12:00:00Z"}, {"lastHeartbeatAt", "2026-01-01T11:59:59Z"}};
}

}  // namespace corvane::test

// Widgets need a QApplication before any test runs; the model's helpers
// find it and use it as the event loop.
// They draw offscreen, also when the test list is read at build time.
int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
