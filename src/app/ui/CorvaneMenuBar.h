#pragma once

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

#include "app/model/AppModel.h"
#include "app/ui/ConnectionWindow.h"
#include "app/ui/InterfaceServices.h"

namespace corvane::app::ui {

// The tray app's scene: the tray item with its menu and the one connection
// window. Without a system tray the window opens at once and says so;
// starting the app again brings the window back (see SingleInstance).
class CorvaneMenuBar : public QObject {
  Q_OBJECT

 public:
  CorvaneMenuBar(AppModel& model, InterfaceServices services, bool trayAvailable, QObject* parent = nullptr);
  ~CorvaneMenuBar() override;

  void openConnectionWindow();

  ConnectionWindow& window() { return *window_; }
  QMenu& menu() { return menu_; }
  QSystemTrayIcon& tray() { return tray_; }
  // The tray icon's state: the attention dot and the staging letter.
  bool attention() const { return attention_; }

  // Redraws the menu and the icon from the model.
  void render();

 private:
  AppModel& model_;
  InterfaceServices services_;
  bool trayAvailable_;
  QMenu menu_;
  QSystemTrayIcon tray_;
  std::unique_ptr<ConnectionWindow> window_;
  QAction* heading_;
  QAction* open_;
  QAction* allowBackground_;
  QAction* viewAuthorization_;
  QAction* manage_;
  QAction* checkUpdates_;
  QAction* quitDetail_;
  QAction* quit_;
  bool attention_ = false;
  std::optional<std::pair<bool, bool>> shownIcon_;
};

}  // namespace corvane::app::ui
