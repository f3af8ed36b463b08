#pragma once

#include <qcoro/qcorotask.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/LoginItem.h"

namespace corvane::app {

using platform::LoginItemStatus;

// A refusal of the service manager; its text is what the user sees.
class ServiceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The tray app's background service (the executor run by the user's service
// manager), as the model needs it.
class BackgroundService {
 public:
  virtual ~BackgroundService() = default;
  virtual LoginItemStatus status() = 0;
  // Throws ServiceError.
  virtual void registerService() = 0;
  // Suspends until the service manager is done. Throws ServiceError.
  virtual QCoro::Task<> unregisterService() = 0;
};

// The desktop facilities the model's operations use.
class Desktop {
 public:
  virtual ~Desktop() = default;
  // Replaces the clipboard's content with text; false when that failed.
  virtual bool copyToPasteboard(const std::string& text) = 0;
  // Opens url in the default browser; false when nothing opened.
  virtual bool openURL(const std::string& url) = 0;
  // Shows file in the file manager; false when nothing opened.
  virtual bool revealFile(const std::filesystem::path& file) = 0;
  // Asks where to save a JSON file, proposing name; nothing when cancelled.
  virtual QCoro::Task<std::optional<std::filesystem::path>> chooseSaveDestination(std::string name) = 0;
};

// What the model reads from its application bundle and the system.
struct BundleInfo {
  std::filesystem::path bundle;                 // the .app folder
  std::optional<std::string> bundleIdentifier;  // CFBundleIdentifier
  std::optional<std::string> coordinatorURL;    // CorvaneCoordinatorURL
  std::optional<std::string> buildChannel;      // CorvaneBuildChannel
  std::optional<std::string> publicEDKey;       // SUPublicEDKey
  std::optional<std::string> shortVersion;      // CFBundleShortVersionString
  std::optional<std::string> buildVersion;      // CFBundleVersion
  std::optional<std::string> hostName;          // the computer's name
  std::string systemVersion = "0.0.0";          // major.minor.patch
  std::filesystem::path home;                   // the user's home directory
};

// The background service on the platform's login-item layer; unregistering
// runs on a worker thread, since the service manager may take a while.
class LoginItemService : public BackgroundService {
 public:
  explicit LoginItemService(platform::LoginItem item) : item_(std::move(item)) {}
  LoginItemStatus status() override;
  void registerService() override;
  QCoro::Task<> unregisterService() override;

 private:
  platform::LoginItem item_;
};

}  // namespace corvane::app
