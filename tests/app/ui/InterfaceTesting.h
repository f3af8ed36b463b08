#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QWidget>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "app/model/AppModel.h"
#include "app/model/ModelStandIns.h"
#include "app/model/ModelTesting.h"
#include "app/ui/CorvaneMenuBar.h"
#include "support/TemporaryDirectory.h"

namespace corvane::test {

inline const app::WallTime uiStart = *app::parseTimestamp("2026-01-01T12:00:00Z");

// The model on the stand-in tool inside an installed bundle, and the tray
// app's scene on it; the clock is the fixture's `now`.
class InterfaceTest : public testing::Test {
 protected:
  InterfaceTest();
  ~InterfaceTest() override;

  app::AppModel& model();
  app::ui::CorvaneMenuBar& scene(bool trayAvailable = true);
  app::ui::ConnectionWindow& window() { return scene().window(); }

  // Answers for the tool, merged into what was scripted before.
  void script(const nlohmann::json& answers);
  // Refreshes with app-status answering document.
  void refreshWith(const nlohmann::json& document);
  std::vector<std::string> commandsRun() const { return tool.commands(); }

  template <typename T = QWidget>
  T* find(const char* name) {
    T* found = window().findChild<T*>(QString::fromLatin1(name));
    EXPECT_TRUE(found) << name;
    return found;
  }
  // Whether the named widget would be seen when the window shows.
  bool shown(const char* name);
  QString labelText(const char* name) { return find<QLabel>(name)->text(); }
  bool enabled(const char* name) { return find<QWidget>(name)->isEnabled(); }
  void click(const char* name);

  TemporaryDirectory home;
  app::BundleInfo bundle;
  StandInTool tool;
  BackgroundServiceStandIn service;
  DesktopStandIn desktop;
  app::WallTime now = uiStart;
  app::ui::InterfaceServices services;
  int settingsOpened = 0;
  int quits = 0;
  nlohmann::json scripted = nlohmann::json::object();
  std::unique_ptr<app::AppModel> model_;
  std::unique_ptr<app::ui::CorvaneMenuBar> scene_;
};

nlohmann::json statusDocument(bool paired, nlohmann::json health = nullptr);
nlohmann::json answerWith(const nlohmann::json& document);
nlohmann::json onlineHealth();

}  // namespace corvane::test
