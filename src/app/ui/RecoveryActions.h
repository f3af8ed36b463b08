#pragma once

#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include "app/model/AppModel.h"
#include "app/ui/InterfaceServices.h"
#include "app/ui/InterfaceWidgets.h"

namespace corvane::app::ui {

// The ways out of a state that is neither online nor waiting for sign-in:
// reveal the app, allow the service, continue a clean-up, manage, pair
// again, check again. Shown by the window and the management sheet.
class RecoveryActions : public QWidget {
 public:
  RecoveryActions(AppModel& model, const InterfaceServices& services, QWidget* parent);
  void render();

 private:
  AppModel& model_;
  const InterfaceServices& services_;
  QLabel* reinstallNote_ = nullptr;
  QPushButton* showApp_ = nullptr;
  QPushButton* openSettings_ = nullptr;
  QPushButton* continueCleanup_ = nullptr;
  QPushButton* recoveryManage_ = nullptr;
  QPushButton* pairAgain_ = nullptr;
  QPushButton* checkAgain_ = nullptr;
};

}  // namespace corvane::app::ui
