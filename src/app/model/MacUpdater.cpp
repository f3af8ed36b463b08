#include "app/model/MacUpdater.h"

#include <QPointer>
#include <QTimer>

#include "localization/L10n.h"
#include "platform/UserDirectories.h"

namespace corvane::app {

namespace {

std::string updateMessage() {
  return L10n::text("The update could not finish. Your data is kept. Try again or reopen Corvane.");
}

}  // namespace

MacUpdater::MacUpdater(bool enabled, const BundleInfo& bundle, std::unique_ptr<UpdateServiceLifecycle> lifecycle,
                       const UpdateFrameworkFactory& framework, UpdateDiagnostics diagnostics, QObject* parent)
    : QObject(parent), diagnostics_(std::move(diagnostics)) {
  if (!enabled) return;
  lifecycle_ = std::move(lifecycle);
  // Only a production build that carries the key its updates are signed with.
  if (bundle.buildChannel != "production" || !bundle.publicEDKey) return;
  if (framework) framework_ = framework(*this);
  if (!framework_) return;
  available_ = true;
  QPointer<MacUpdater> self(this);
  auto onMainThread = [self](void (*apply)(MacUpdater&)) {
    return [self, apply] {
      QMetaObject::invokeMethod(
          self.data(),
          [self, apply] {
            if (self && self->framework_) apply(*self);
          },
          Qt::QueuedConnection);
    };
  };
  framework_->observe(onMainThread([](MacUpdater& updater) {
                        updater.canCheck_ = updater.framework_->canCheckForUpdates();
                        emit updater.changed();
                      }),
                      onMainThread([](MacUpdater& updater) {
                        updater.setAutomaticallyChecks(updater.framework_->automaticallyChecksForUpdates());
                      }),
                      onMainThread([](MacUpdater& updater) {
                        updater.setAutomaticallyInstalls(updater.framework_->automaticallyDownloadsUpdates());
                      }));
  canCheck_ = framework_->canCheckForUpdates();
}

MacUpdater::~MacUpdater() = default;

std::unique_ptr<MacUpdater> MacUpdater::forApp(const BundleInfo& bundle, QSettings& defaults,
                                               const UpdateFrameworkFactory& framework) {
  std::string identifier = bundle.bundleIdentifier.value_or("com.corvane.macos");
  auto service = std::make_shared<LoginItemService>(
      platform::LoginItem(platform::LoginItem::unitTemplate(bundle.bundle, identifier)));
  auto lifecycle = UpdateServiceLifecycle::live(defaults, HelperClient::forBundle(bundle.bundle), service);
  UpdateDiagnostics diagnostics(platform::logsDirectory(bundle.home), bundle.buildVersion.value_or("unknown"));
  return std::make_unique<MacUpdater>(true, bundle, std::move(lifecycle), framework, std::move(diagnostics));
}

void MacUpdater::setAutomaticallyChecks(bool value) {
  automaticallyChecks_ = value;
  if (framework_ && framework_->automaticallyChecksForUpdates() != value)
    framework_->setAutomaticallyChecksForUpdates(value);
  emit changed();
}

void MacUpdater::setAutomaticallyInstalls(bool value) {
  automaticallyInstalls_ = value;
  if (framework_ && framework_->automaticallyDownloadsUpdates() != value)
    framework_->setAutomaticallyDownloadsUpdates(value);
  emit changed();
  if (value) installAutomaticallyWhenReady(false);
}

void MacUpdater::startOnce() {
  if (!available_ || started_) return;
  started_ = true;
  QPointer<MacUpdater> self(this);
  QTimer::singleShot(0, this, [self] {
    if (self) self->start();
  });
}

QCoro::Task<> MacUpdater::start() {
  std::optional<UpdateErrorIdentity> failure;
  if (lifecycle_) {
    try {
      co_await lifecycle_->restore();
    } catch (const std::exception& exception) {
      failure = identify(exception);
    }
  }
  if (failure) {
    // The executor may still be stopped for the last update: no new update
    // may start before it runs again.
    diagnostics_.record("startup_failed", std::nullopt, failure);
    error_ = updateMessage();
    emit changed();
    co_return;
  }
  diagnostics_.record("executor_restored");
  if (framework_) {
    framework_->start();
    setAutomaticallyChecks(framework_->automaticallyChecksForUpdates());
    setAutomaticallyInstalls(framework_->automaticallyDownloadsUpdates());
  }
  diagnostics_.record("updater_started");
}

TerminationReply MacUpdater::terminationReply() {
  if (installationPending_ && !prepared_) {
    if (automaticInstall_) {
      installAutomaticallyWhenReady(true);
      return TerminationReply::cancel;
    }
    if (preparing_) return TerminationReply::later;
    preparing_ = true;
    QPointer<MacUpdater> self(this);
    QTimer::singleShot(0, this, [self] {
      if (self) self->quitDrain();
    });
    return TerminationReply::later;
  }
  return TerminationReply::terminateNow;
}

void MacUpdater::fail(const char* event, const std::optional<UpdateErrorIdentity>& error) {
  diagnostics_.record(event, std::nullopt, error);
  error_ = updateMessage();
  emit changed();
}

QCoro::Task<> MacUpdater::quitDrain() {
  diagnostics_.record("executor_drain_started");
  if (!lifecycle_) {
    bool terminate = installationPending_;
    if (terminate) {
      prepared_ = true;
      diagnostics_.record("executor_stopped_for_update");
    }
    preparing_ = false;
    emit changed();
    emit terminationAnswered(terminate);
    co_return;
  }
  std::optional<UpdateErrorIdentity> failure;
  bool drained = false;
  try {
    co_await lifecycle_->drain([this] { return installationPending_; });
    drained = true;
  } catch (const std::exception& exception) {
    failure = identify(exception);
  }
  if (drained && installationPending_) {
    prepared_ = true;
    preparing_ = false;
    diagnostics_.record("executor_stopped_for_update");
    emit changed();
    emit terminationAnswered(true);
    co_return;
  }
  std::optional<UpdateErrorIdentity> restoreFailure;
  try {
    co_await lifecycle_->restore();
  } catch (const std::exception& exception) {
    restoreFailure = identify(exception);
  }
  if (!drained) {
    fail("executor_drain_failed", failure);
  } else if (restoreFailure) {
    fail("executor_drain_failed", restoreFailure);
  }
  preparing_ = false;
  emit changed();
  emit terminationAnswered(false);
}

bool MacUpdater::installWanted(bool userInitiated) const {
  return installationPending_ && automaticInstall_ && (userInitiated || automaticallyInstalls_);
}

void MacUpdater::proceedWithInstallation() {
  prepared_ = true;
  preparing_ = false;
  diagnostics_.record("executor_stopped_for_update");
  std::function<void()> install = std::move(automaticInstall_);
  automaticInstall_ = nullptr;
  emit changed();
  install();
}

void MacUpdater::installAutomaticallyWhenReady(bool userInitiated) {
  if (preparing_ || !automaticInstall_ || !(userInitiated || automaticallyInstalls_)) return;
  preparing_ = true;
  emit changed();
  QPointer<MacUpdater> self(this);
  QTimer::singleShot(0, this, [self, userInitiated] {
    if (self) self->installDrain(userInitiated);
  });
}

QCoro::Task<> MacUpdater::installDrain(bool userInitiated) {
  diagnostics_.record("executor_drain_started");
  if (!lifecycle_) {
    if (installWanted(userInitiated)) {
      proceedWithInstallation();
    } else {
      preparing_ = false;
      emit changed();
    }
    co_return;
  }
  std::optional<UpdateErrorIdentity> failure;
  bool drained = false;
  try {
    co_await lifecycle_->drain([this] { return installationPending_; });
    drained = true;
  } catch (const std::exception& exception) {
    failure = identify(exception);
  }
  if (drained && installWanted(userInitiated)) {
    proceedWithInstallation();
    co_return;
  }
  // Drained but no longer wanted, or the drain failed: the executor runs again.
  std::optional<UpdateErrorIdentity> restoreFailure;
  try {
    co_await lifecycle_->restore();
  } catch (const std::exception& exception) {
    restoreFailure = identify(exception);
  }
  preparing_ = false;
  if (drained && !restoreFailure) {
    emit changed();
    co_return;
  }
  if (drained) failure = restoreFailure;
  if (!installationPending_) {
    diagnostics_.record("update_cancelled");
    emit changed();
    co_return;
  }
  fail("executor_drain_failed", failure);
  QPointer<MacUpdater> self(this);
  QTimer::singleShot(retryDelay_, this, [self, userInitiated] {
    if (self && (userInitiated || self->automaticallyInstalls_)) self->installAutomaticallyWhenReady(userInitiated);
  });
}

void MacUpdater::checkForUpdates() {
  if (!framework_ || !canCheck_) return;
  diagnostics_.record("manual_check");
  framework_->checkForUpdates();
}

void MacUpdater::willInstallUpdate(const UpdateItem& item) {
  installationPending_ = true;
  diagnostics_.record("installation_requested", item.version);
  emit changed();
}

bool MacUpdater::shouldPostponeRelaunch(const UpdateItem&, std::function<void()> install) {
  if (prepared_) return false;
  installationPending_ = true;
  automaticInstall_ = std::move(install);
  installAutomaticallyWhenReady(true);
  return true;
}

bool MacUpdater::willInstallUpdateOnQuit(const UpdateItem& item, std::function<void()> install) {
  installationPending_ = true;
  automaticInstall_ = std::move(install);
  diagnostics_.record("download_verified", item.version);
  installAutomaticallyWhenReady(false);
  return true;
}

void MacUpdater::didFindValidUpdate(const UpdateItem& item) { diagnostics_.record("update_found", item.version); }

void MacUpdater::didAbort(const UpdateErrorIdentity& error) {
  diagnostics_.record("update_aborted", std::nullopt, error);
  automaticInstall_ = nullptr;
  installationPending_ = false;
  prepared_ = false;
  emit changed();
  if (preparing_) return;
  QPointer<MacUpdater> self(this);
  QTimer::singleShot(0, this, [self] {
    if (self) self->restoreAfterAbort();
  });
}

QCoro::Task<> MacUpdater::restoreAfterAbort() {
  if (!lifecycle_) co_return;
  std::optional<UpdateErrorIdentity> failure;
  try {
    co_await lifecycle_->restore();
  } catch (const std::exception& exception) {
    failure = identify(exception);
  }
  if (failure) fail("executor_restore_failed", failure);
}

}  // namespace corvane::app
