#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/model/PlatformServices.h"

namespace corvane::test {

// The background service as a list of what was asked of it.
class BackgroundServiceStandIn : public app::BackgroundService {
 public:
  app::LoginItemStatus current = app::LoginItemStatus::notRegistered;
  bool failRegister = false;
  bool failUnregister = false;
  std::vector<std::string> calls;  // "register", "unregister"

  app::LoginItemStatus status() override { return current; }
  void registerService() override {
    calls.push_back("register");
    if (failRegister) throw app::ServiceError("register refused");
    current = app::LoginItemStatus::enabled;
  }
  QCoro::Task<> unregisterService() override {
    calls.push_back("unregister");
    if (failUnregister) throw app::ServiceError("unregister refused");
    current = app::LoginItemStatus::notRegistered;
    co_return;
  }
};

class DesktopStandIn : public app::Desktop {
 public:
  bool copyWorks = true;
  bool openWorks = true;
  std::optional<std::filesystem::path> destination;
  std::vector<std::string> copied;
  std::vector<std::string> opened;
  std::vector<std::string> proposedNames;

  bool copyToPasteboard(const std::string& text) override {
    copied.push_back(text);
    return copyWorks;
  }
  bool openURL(const std::string& url) override {
    opened.push_back(url);
    return openWorks;
  }
  bool revealFile(const std::filesystem::path&) override { return true; }
  QCoro::Task<std::optional<std::filesystem::path>> chooseSaveDestination(std::string name) override {
    proposedNames.push_back(name);
    // A copy: the task's result is moved out of what co_return names.
    std::optional<std::filesystem::path> chosen = destination;
    co_return chosen;
  }
};

}  // namespace corvane::test
