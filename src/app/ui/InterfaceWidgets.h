#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <optional>
#include <string>

#include "app/model/AppModel.h"

namespace corvane::app::ui {

inline QString qs(const std::string& text) { return QString::fromStdString(text); }

// "Corvane", or "Corvane Staging" for a staging build: a name, never translated.
QString displayName(const AppModel& model);

// Label styles the pages share.
QLabel* headline(QWidget* parent, const QString& objectName);
QLabel* titleLabel(QWidget* parent, const QString& objectName);
QLabel* secondary(QWidget* parent, const QString& objectName, const QString& text = {});
QLabel* caption(QWidget* parent, const QString& objectName);
// A button in the prominent style, the page's main action.
QPushButton* prominent(QPushButton* button);
// Shows widget only when shown holds, without touching the layout otherwise.
void showWhen(QWidget* widget, bool shown);
// Sets a label's text only when it differs (keeps selections alive).
void setText(QLabel* label, const QString& text);

// A problem in words, with an icon; one element for assistive tools.
class InlineMessage : public QWidget {
 public:
  explicit InlineMessage(QWidget* parent, const QString& objectName);
  void show(const std::optional<std::string>& text);
  QString text() const;

 private:
  QLabel* text_;
};

// The state's icon, title and explanation, and the last heartbeat.
class ConnectionStatusView : public QWidget {
 public:
  explicit ConnectionStatusView(QWidget* parent);
  void show(ConnectionState state, const std::string& detail, std::optional<WallTime> heartbeat, bool working);

 private:
  QLabel* icon_;
  QLabel* title_;
  QProgressBar* activity_;
  QLabel* detail_;
  QLabel* heartbeat_;
};

// The heartbeat the window shows: the snapshot's parsed lastHeartbeatAt.
std::optional<WallTime> heartbeatOf(const AppModel& model);

}  // namespace corvane::app::ui
