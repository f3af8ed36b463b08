#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace corvane::app::ui {

// One tray app per user session: the first instance listens on a local
// socket named after the bundle and the user; a later one asks it to open
// its window and then leaves.
class SingleInstance : public QObject {
  Q_OBJECT

 public:
  explicit SingleInstance(QString name, QObject* parent = nullptr);

  // The socket name for bundleIdentifier and the current user.
  static QString nameFor(const QString& bundleIdentifier);

  // True when another instance answered and was asked to open its window.
  bool askRunningInstance();
  // Starts listening; false when the name could not be taken.
  bool listen();

 signals:
  void openRequested();

 private:
  QString name_;
  QLocalServer server_;
};

}  // namespace corvane::app::ui
