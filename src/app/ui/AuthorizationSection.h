#pragma once

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include <map>
#include <optional>
#include <string>

#include "app/model/AppModel.h"
#include "app/ui/InterfaceServices.h"
#include "app/ui/InterfaceWidgets.h"

namespace corvane::app::ui {

// One pending ChatGPT sign-in: its code and official page while it lasts,
// then that it expired. Its feedback lives as long as the row.
class AuthorizationRow : public QWidget {
 public:
  AuthorizationRow(AppModel& model, const InterfaceServices& services, Login login, QWidget* parent);
  void render(const Login& login, bool multiple, WallTime now);

 private:
  void copy();

  AppModel& model_;
  const InterfaceServices& services_;
  Login login_;
  std::optional<std::string> feedback_;
  QWidget* expired_;
  InlineMessage* unsupported_;
  QWidget* actionable_;
  QLabel* instruction_;
  QLabel* code_;
  QLabel* expires_;
  QLabel* host_;
  QLabel* feedbackLabel_;
};

// The window's list of pending ChatGPT authorizations, and what became of
// the ones that went away.
class AuthorizationSection : public QWidget {
 public:
  AuthorizationSection(AppModel& model, const InterfaceServices& services, QWidget* parent);
  void render(WallTime now);

 private:
  AppModel& model_;
  const InterfaceServices& services_;
  QLabel* unavailable_;
  QWidget* rowsBox_;
  QVBoxLayout* rows_;
  std::vector<std::string> shownIds_;
  std::map<std::string, AuthorizationRow*> byId_;
  QWidget* none_;
  QWidget* ended_;
  QLabel* endedTitle_;
};

}  // namespace corvane::app::ui
