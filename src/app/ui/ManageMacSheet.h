#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>

#include "app/model/AppModel.h"
#include "app/ui/InterfaceServices.h"
#include "app/ui/InterfaceWidgets.h"

namespace corvane::app::ui {

class RecoveryActions;

// "Corvane 1.2.3 (45)": the display name, the bundle's version and build.
QString versionLine(const AppModel& model);

// The problem-report dialog: a description of at most 1000 UTF-16 units
// sent with the recent sanitized diagnostics.
class ReportProblemDialog : public QDialog {
  Q_OBJECT

 public:
  ReportProblemDialog(AppModel& model, QWidget* parent);
  void render();

 private:
  static QCoro::Task<> send(QPointer<ReportProblemDialog> dialog, AppModel* model, std::string description);

  AppModel& model_;
  QPlainTextEdit* description_;
  QLabel* counter_;
  QLabel* error_;
  QPushButton* send_;
};

// The management sheet: the background service, the account and the
// diagnostics of this computer.
class ManageMacSheet : public QDialog {
  Q_OBJECT

 public:
  ManageMacSheet(AppModel& model, const InterfaceServices& services, QWidget* parent);
  void render();

 private:
  static QCoro::Task<> exportDiagnostics(QPointer<ManageMacSheet> sheet, AppModel* model);
  QMessageBox* confirmation(const char* objectName, const QString& title, const QString& text, const QString& cancel,
                            const QString& confirm, std::function<void()> confirmed);

  AppModel& model_;
  const InterfaceServices& services_;
  ConnectionStatusView* status_;
  QPushButton* openSettings_;
  QPushButton* stop_;
  QPushButton* start_;
  RecoveryActions* recovery_;
  InlineMessage* message_;
  QLabel* email_;
  QPushButton* signOut_;
  QLabel* version_;
  QLabel* origin_;
  QLabel* codexError_;
  QCheckBox* automatic_;
  QPushButton* report_;
  QLabel* reportStatus_;
  QLabel* reportId_;
  QPushButton* export_;
  QLabel* feedback_;
  QWidget* updates_;
  QCheckBox* autoCheck_;
  QCheckBox* autoInstall_;
  QLabel* updateError_;
  QPushButton* checkUpdates_;
  std::optional<std::string> exportFeedback_;
};

}  // namespace corvane::app::ui
