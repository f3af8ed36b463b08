// The tray app: one instance per user session, the model on the main thread,
// the tray item with its menu and the connection window.

#include <QApplication>
#include <QSettings>
#include <QSystemTrayIcon>

#include <filesystem>
#include <iostream>

#include "app/model/AppModel.h"
#include "app/model/HelperClient.h"
#include "app/model/MacUpdater.h"
#include "app/ui/BundleReader.h"
#include "app/ui/CorvaneMenuBar.h"
#include "app/ui/DesktopServices.h"
#include "app/ui/SingleInstance.h"
#include "platform/LoginItem.h"
#include "platform/SystemInfo.h"

using namespace corvane;
using namespace corvane::app;

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationName(QStringLiteral("Corvane"));
  QApplication::setDesktopFileName(QStringLiteral("corvane"));

  // Contents/MacOS/CorvaneMenuBar inside the .app folder.
  auto executable = platform::runningExecutable();
  if (!executable) {
    std::cerr << "Corvane: the program's own path is unknown\n";
    return 2;
  }
  std::filesystem::path bundle = executable->parent_path().parent_path().parent_path();
  BundleInfo info = ui::readBundleInfo(bundle);
  std::string identifier = info.bundleIdentifier.value_or("com.corvane.macos");

  ui::SingleInstance instance(ui::SingleInstance::nameFor(QString::fromStdString(identifier)));
  if (instance.askRunningInstance()) return 0;
  instance.listen();

  QSettings defaults(QStringLiteral("Corvane"), QString::fromStdString(identifier));
  platform::LoginItem loginItem(platform::LoginItem::unitTemplate(bundle, identifier));
  LoginItemService service(loginItem);
  ui::DesktopServices desktop;
  auto clock = [] { return std::chrono::time_point_cast<WallTime::duration>(std::chrono::system_clock::now()); };
  AppModel model(info, HelperClient::forBundle(bundle), service, desktop, clock, MacUpdater::forApp(info, defaults));

  ui::InterfaceServices services;
  services.desktop = &desktop;
  services.clock = clock;
  services.openBackgroundSettings = [loginItem] { loginItem.openSettings(); };
  services.revealApplication = [&desktop, bundle] { desktop.revealFile(bundle); };
  services.quit = [] { QApplication::quit(); };

  ui::CorvaneMenuBar menuBar(model, services, QSystemTrayIcon::isSystemTrayAvailable());
  QObject::connect(&instance, &ui::SingleInstance::openRequested, &menuBar, &ui::CorvaneMenuBar::openConnectionWindow);
  model.startRefreshing();
  if (model.updates()) model.updates()->startOnce();
  return application.exec();
}
