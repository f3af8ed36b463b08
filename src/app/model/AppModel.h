#pragma once

#include <qcoro/qcorotask.h>

#include <QObject>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/model/AuthorizationHistory.h"
#include "app/model/ConnectionState.h"
#include "app/model/HelperClient.h"
#include "app/model/MacUpdater.h"
#include "app/model/PlatformServices.h"

namespace corvane::app {

// An open pairing request, from `pair-start`.
struct Pairing {
  std::string id;
  std::string code;
  std::string pollToken;
  std::string expiresAt;
};

// An open e-mail challenge, from `email-start`.
struct EmailChallenge {
  std::string challengeId;
  std::string expiresAt;
};

// The tray app's single source of truth: the executor's last status, the
// pairing and e-mail sign-in flows, the background service and the messages
// the screens show. Lives on the main thread; every operation that runs the
// tool suspends without blocking it. `busy` serialises the user's operations
// and `checking` the status refreshes; an operation whose preconditions do
// not hold returns at once without any effect. Failures never leave the
// model: they end in `error`, `statusError` or a returned message.
class AppModel : public QObject {
  Q_OBJECT

 public:
  using Clock = std::function<WallTime()>;

  // updates: the update controller (MacUpdater::forApp in the app), kept
  // for the model's lifetime.
  AppModel(BundleInfo bundle, HelperClient helper, BackgroundService& service, Desktop& desktop, Clock clock,
           std::unique_ptr<MacUpdater> updates = nullptr, QObject* parent = nullptr);

  MacUpdater* updates() const { return updates_.get(); }

  // Starts the 5-second refresh and one refresh at once.
  void startRefreshing();

  // Published state; `changed` is announced after every change.
  const std::optional<HelperSnapshot>& snapshot() const { return snapshot_; }
  LoginItemStatus serviceStatus() const { return serviceStatus_; }
  bool busy() const { return busy_; }
  bool checking() const { return checking_; }
  const std::optional<std::string>& error() const { return error_; }
  const std::optional<std::string>& statusError() const { return statusError_; }
  bool showingManagement() const { return showingManagement_; }
  void setShowingManagement(bool showing);
  const AuthorizationHistory& authorizationHistory() const { return authorizationHistory_; }
  const std::optional<Pairing>& pairing() const { return pairing_; }
  const std::string& deviceName() const { return deviceName_; }
  void setDeviceName(std::string name);
  const std::string& email() const { return email_; }
  void setEmail(std::string email);
  const std::string& emailCode() const { return emailCode_; }
  void setEmailCode(std::string code);
  const std::optional<EmailChallenge>& emailChallenge() const { return emailChallenge_; }
  WallTime emailResendAvailableAt() const { return emailResendAvailableAt_; }
  const std::optional<std::string>& emailSession() const { return emailSession_; }

  const std::string& origin() const { return origin_; }
  const BundleInfo& bundle() const { return bundle_; }
  bool isStaging() const { return isStaging_; }
  bool isPreview() const { return isPreview_; }
  void setPreview(bool preview) { isPreview_ = preview; }

  // Derived values, computed on each read.
  // The bundle sits in an installation folder (isInstallationFolder).
  bool isInstalled() const;
  bool registered() const;
  bool signingOut() const;
  bool revoked() const;
  bool signedIn() const;
  bool statusIsCurrent() const;
  bool canPrepareRepair() const;
  bool canVerifyEmail() const;
  ConnectionState state() const;
  std::vector<Login> pendingLogins() const;

  // Where an installed bundle lives: /Applications, home's Applications
  // folder, or /opt/corvane, where the Debian package installs it. folder is
  // the bundle's canonical parent folder.
  static bool isInstallationFolder(const std::filesystem::path& folder, const std::filesystem::path& home);
  std::string statusDetail() const;
  std::string quitDetail() const;

  // Operations.
  QCoro::Task<> refresh();
  void receive(HelperSnapshot snapshot);
  QCoro::Task<> createPairing();
  QCoro::Task<> sendEmailCode();
  QCoro::Task<> verifyEmail();
  void clearEmail();
  QCoro::Task<> signOut();
  std::string authorize(const Login& login);
  QCoro::Task<> prepareRepair();
  QCoro::Task<> start();
  QCoro::Task<> stop();
  QCoro::Task<> setAutomaticDiagnostics(bool enabled);
  QCoro::Task<std::optional<std::string>> reportProblem(std::string description);
  QCoro::Task<std::optional<std::string>> exportDiagnostics();

 signals:
  void changed();

 private:
  QCoro::Task<> refreshSteps();
  std::vector<std::string> originArguments(const std::string& command) const;
  QCoro::Task<Pairing> startPairing();
  bool snapshotPaired() const { return snapshot_ && snapshot_->paired; }
  bool hasOpenPairing() const;
  void announce() { emit changed(); }

  BundleInfo bundle_;
  HelperClient helper_;
  BackgroundService& service_;
  Desktop& desktop_;
  Clock clock_;
  std::unique_ptr<MacUpdater> updates_;
  std::string origin_;
  bool isStaging_ = true;
  bool isPreview_ = false;
  QTimer timer_;

  std::optional<HelperSnapshot> snapshot_;
  LoginItemStatus serviceStatus_ = LoginItemStatus::notRegistered;
  bool busy_ = false;
  bool checking_ = false;
  std::optional<std::string> error_;
  std::optional<std::string> statusError_;
  bool showingManagement_ = false;
  AuthorizationHistory authorizationHistory_;
  std::optional<Pairing> pairing_;
  std::string deviceName_;
  std::string email_;
  std::string emailCode_;
  std::optional<EmailChallenge> emailChallenge_;
  WallTime emailResendAvailableAt_ = distantPast;
  std::optional<std::string> emailSession_;
};

// The first count user-perceived characters of text.
std::string firstCharacters(const std::string& text, int count);

}  // namespace corvane::app
