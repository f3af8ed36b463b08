#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/model/UpdateDiagnostics.h"

namespace corvane::app {

// One update the framework offers.
struct UpdateItem {
  std::string version;
};

// What the update framework tells the controller (its delegate).
class UpdateFrameworkDelegate {
 public:
  virtual ~UpdateFrameworkDelegate() = default;
  virtual void willInstallUpdate(const UpdateItem& item) = 0;
  // Whether the framework must wait; install relaunches when called.
  virtual bool shouldPostponeRelaunch(const UpdateItem& item, std::function<void()> install) = 0;
  // The update installs at quit unless install is called earlier.
  virtual bool willInstallUpdateOnQuit(const UpdateItem& item, std::function<void()> install) = 0;
  virtual void didFindValidUpdate(const UpdateItem& item) = 0;
  virtual void didAbort(const UpdateErrorIdentity& error) = 0;
};

// The software-update framework the controller drives: created not yet
// started, with the controller as its delegate.
class UpdateFramework {
 public:
  virtual ~UpdateFramework() = default;
  virtual void start() = 0;
  virtual void checkForUpdates() = 0;
  virtual bool canCheckForUpdates() const = 0;
  virtual bool automaticallyChecksForUpdates() const = 0;
  virtual void setAutomaticallyChecksForUpdates(bool value) = 0;
  virtual bool automaticallyDownloadsUpdates() const = 0;
  virtual void setAutomaticallyDownloadsUpdates(bool value) = 0;
  // Called, from any thread, whenever the named value changes.
  virtual void observe(std::function<void()> canCheckChanged, std::function<void()> automaticChecksChanged,
                       std::function<void()> automaticDownloadsChanged) = 0;
};

// Makes the framework for a delegate; nothing when the platform has none.
using UpdateFrameworkFactory = std::function<std::unique_ptr<UpdateFramework>(UpdateFrameworkDelegate&)>;

// Linux has no in-app update framework: the package manager updates an
// installed Corvane. The factory makes nothing, so updates stay unavailable
// unless a real framework is plugged in instead.
UpdateFrameworkFactory platformUpdateFramework();

}  // namespace corvane::app
