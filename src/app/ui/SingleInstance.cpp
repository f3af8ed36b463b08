#include "app/ui/SingleInstance.h"

#include <unistd.h>

#include <QLocalSocket>

namespace corvane::app::ui {
namespace {

constexpr int waitMilliseconds = 2000;
const QByteArray openRequest = "open\n";

}  // namespace

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), name_(std::move(name)) {
  connect(&server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        // A request is one short line; anything else is dropped.
        if (socket->bytesAvailable() > 64) {
          socket->abort();
          return;
        }
        if (socket->canReadLine() && socket->readLine() == openRequest) emit openRequested();
        socket->disconnectFromServer();
      });
    }
  });
}

QString SingleInstance::nameFor(const QString& bundleIdentifier) {
  return QStringLiteral("%1.interface.%2").arg(bundleIdentifier).arg(getuid());
}

bool SingleInstance::askRunningInstance() {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(waitMilliseconds)) return false;
  socket.write(openRequest);
  if (!socket.waitForBytesWritten(waitMilliseconds)) return false;
  socket.waitForDisconnected(waitMilliseconds);
  return true;
}

bool SingleInstance::listen() {
  // Only this user may ask; a socket left by an instance that crashed is
  // taken over (askRunningInstance found nobody behind it).
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  if (server_.listen(name_)) return true;
  QLocalServer::removeServer(name_);
  return server_.listen(name_);
}

}  // namespace corvane::app::ui
