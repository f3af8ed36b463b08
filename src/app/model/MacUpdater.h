#pragma once

#include <qcoro/qcorotask.h>

#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/model/PlatformServices.h"
#include "app/model/UpdateDiagnostics.h"
#include "app/model/UpdateFramework.h"
#include "app/model/UpdateServiceLifecycle.h"

namespace corvane::app {

// The answer to the desktop's question whether the app may quit now.
enum class TerminationReply { terminateNow, cancel, later };

// Stands between the update framework and the installation: before the
// framework may install (at quit, or at once with automatic installs) the
// executor is drained and stopped, and at the next start it is restored.
// Updates exist only for production builds that carry a signing key. Lives
// on the main thread; at most one drain runs at a time.
class MacUpdater : public QObject, public UpdateFrameworkDelegate {
  Q_OBJECT

 public:
  // lifecycle: present when the controller was created enabled.
  MacUpdater(bool enabled, const BundleInfo& bundle, std::unique_ptr<UpdateServiceLifecycle> lifecycle,
             const UpdateFrameworkFactory& framework, UpdateDiagnostics diagnostics, QObject* parent = nullptr);
  ~MacUpdater() override;

  // The app's controller, created enabled: its own tool client and service
  // handle for the bundle, the update log in the user's log folder.
  static std::unique_ptr<MacUpdater> forApp(const BundleInfo& bundle, QSettings& defaults,
                                            const UpdateFrameworkFactory& framework = platformUpdateFramework());

  bool available() const { return available_; }
  bool canCheck() const { return canCheck_; }
  const std::optional<std::string>& error() const { return error_; }
  bool automaticallyChecks() const { return automaticallyChecks_; }
  bool automaticallyInstalls() const { return automaticallyInstalls_; }
  void setAutomaticallyChecks(bool value);
  void setAutomaticallyInstalls(bool value);

  bool installationPending() const { return installationPending_; }
  bool preparing() const { return preparing_; }
  bool prepared() const { return prepared_; }
  bool started() const { return started_; }

  // How long a failed automatic drain waits before it tries again.
  void setRetryDelay(std::chrono::milliseconds delay) { retryDelay_ = delay; }

  // Restores the executor, then starts the framework.
  QCoro::Task<> start();
  // Once per session, when the app has finished launching.
  void startOnce();
  // later: the answer follows through terminationAnswered.
  TerminationReply terminationReply();
  void installAutomaticallyWhenReady(bool userInitiated);
  // "Check for Updates…"
  void checkForUpdates();

  void willInstallUpdate(const UpdateItem& item) override;
  bool shouldPostponeRelaunch(const UpdateItem& item, std::function<void()> install) override;
  bool willInstallUpdateOnQuit(const UpdateItem& item, std::function<void()> install) override;
  void didFindValidUpdate(const UpdateItem& item) override;
  void didAbort(const UpdateErrorIdentity& error) override;

 signals:
  void changed();
  // The late answer to a termination answered `later`.
  void terminationAnswered(bool terminate);

 private:
  QCoro::Task<> quitDrain();
  QCoro::Task<> installDrain(bool userInitiated);
  QCoro::Task<> restoreAfterAbort();
  bool installWanted(bool userInitiated) const;
  void proceedWithInstallation();
  void fail(const char* event, const std::optional<UpdateErrorIdentity>& error);

  bool available_ = false;
  bool canCheck_ = false;
  std::optional<std::string> error_;
  bool automaticallyChecks_ = false;
  bool automaticallyInstalls_ = false;

  std::unique_ptr<UpdateFramework> framework_;
  std::unique_ptr<UpdateServiceLifecycle> lifecycle_;
  bool installationPending_ = false;
  bool preparing_ = false;
  bool prepared_ = false;
  bool started_ = false;
  std::function<void()> automaticInstall_;
  UpdateDiagnostics diagnostics_;
  std::chrono::milliseconds retryDelay_ = std::chrono::seconds(60);
};

}  // namespace corvane::app
