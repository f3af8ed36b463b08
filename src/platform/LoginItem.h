#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/ServiceManager.h"

namespace corvane::platform {

// What the service manager says of the tray app's background service.
// requiresApproval is a state other platforms have (the user must allow the
// service first); the systemd user manager never asks.
enum class LoginItemStatus { notRegistered, enabled, requiresApproval, notFound };

// The tray app's background service: the executor unit the application
// bundle carries ("<bundle identifier>.executor.service", running the
// bundle's `corvane-mac service-agent`), linked into the user's unit folder
// and enabled while registered. Only the app uses it; the tool's own
// service for a data directory is the executor's LaunchAgent.
class LoginItem {
 public:
  // unitTemplate: the unit file inside the bundle; its name is the unit's.
  explicit LoginItem(std::filesystem::path unitTemplate, ServiceManager manager = {},
                     std::filesystem::path unitFolder = userUnitFolder());

  // The bundle's unit for bundleIdentifier: Contents/Library/systemd/user/
  // <bundleIdentifier>.executor.service under bundle (the .app folder).
  static std::filesystem::path unitTemplate(const std::filesystem::path& bundle, std::string_view bundleIdentifier);

  const std::string& unitName() const { return unitName_; }

  // notFound when the bundle lacks the unit; enabled when the manager has it
  // enabled; notRegistered otherwise.
  LoginItemStatus status() const;

  // Links the bundle's unit into the user's unit folder, enables it and
  // queues its start. A link left by a bundle that moved is replaced. False
  // when the bundle lacks the unit or the manager refused.
  bool registerService() const;

  // Stops and disables the service and removes its link; true when it is
  // not registered afterwards (also when it never was).
  bool unregisterService() const;

  // Shows the user where autostarted services live: the desktop's file
  // manager on the user's unit folder. False when nothing could be opened.
  bool openSettings() const;

 private:
  std::filesystem::path unitTemplate_;
  ServiceManager manager_;
  std::filesystem::path unitFolder_;
  std::string unitName_;
};

}  // namespace corvane::platform
