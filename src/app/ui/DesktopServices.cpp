#include "app/ui/DesktopServices.h"

#include <QApplication>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMimeData>
#include <QUrl>

namespace corvane::app::ui {

bool DesktopServices::copyToPasteboard(const std::string& text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (!clipboard) return false;
  QString value = QString::fromStdString(text);
  clipboard->clear();
  clipboard->setText(value);
  return clipboard->text() == value;
}

bool DesktopServices::openURL(const std::string& url) {
  QUrl address(QString::fromStdString(url), QUrl::StrictMode);
  if (!address.isValid()) return false;
  return QDesktopServices::openUrl(address);
}

bool DesktopServices::revealFile(const std::filesystem::path& file) {
  // The file manager's own interface selects the file; without it the
  // folder that holds it opens.
  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                                     "org.freedesktop.FileManager1", "ShowItems");
  call << QStringList{QUrl::fromLocalFile(QString::fromStdString(file.string())).toString()} << QString();
  QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
  if (reply.type() == QDBusMessage::ReplyMessage) return true;
  return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(file.parent_path().string())));
}

QCoro::Task<std::optional<std::filesystem::path>> DesktopServices::chooseSaveDestination(std::string name) {
  QString proposed = QDir::home().filePath(QString::fromStdString(name));
  QString chosen = QFileDialog::getSaveFileName(nullptr, QString(), proposed, QStringLiteral("JSON (*.json)"));
  std::optional<std::filesystem::path> destination;
  if (!chosen.isEmpty()) destination = std::filesystem::path(chosen.toStdString());
  co_return destination;
}

}  // namespace corvane::app::ui
