#include "app/model/AppModel.h"

#include <fcntl.h>
#include <unistd.h>

#include <QPointer>
#include <QString>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "app/model/HelperError.h"
#include "localization/L10n.h"
#include "platform/SystemInfo.h"

namespace corvane::app {

using nlohmann::json;

namespace {

// The coordinator a bundle without its own origin talks to.
constexpr const char* stagingOrigin = "https://staging.coordinator.corvane.com";

bool expired(const std::string& expiresAt, WallTime now) {
  return parseTimestamp(expiresAt).value_or(distantPast) <= now;
}

Pairing decodePairing(const std::string& bytes) {
  json object = decoding::parseObject(bytes);
  return Pairing{decoding::requiredString(object, "id"), decoding::requiredString(object, "code"),
                 decoding::requiredString(object, "pollToken"), decoding::requiredString(object, "expiresAt")};
}

std::string trimmed(const std::string& text) {
  const char* space = " \t\n\r\v\f";
  auto first = text.find_first_not_of(space);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

bool isSixDigits(const std::string& code) {
  return code.size() == 6 && std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Written beside the destination and renamed over it, so that a reader
// never sees half a file.
bool writeAtomically(const std::filesystem::path& destination, const std::string& contents) {
  std::filesystem::path temporary = destination;
  temporary += ".tmp-" + std::to_string(getpid());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::size_t written = 0;
  while (written < contents.size()) {
    ssize_t now = write(fd, contents.data() + written, contents.size() - written);
    if (now <= 0) break;
    written += static_cast<std::size_t>(now);
  }
  bool ok = written == contents.size() && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temporary.c_str(), destination.c_str()) == 0) return true;
  unlink(temporary.c_str());
  return false;
}

}  // namespace

std::string firstCharacters(const std::string& text, int count) {
  QString whole = QString::fromStdString(text);
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, whole);
  int characters = 0;
  qsizetype end = 0;
  while (characters < count) {
    qsizetype next = finder.toNextBoundary();
    if (next < 0) break;
    end = next;
    ++characters;
  }
  if (characters < count) return text;
  return whole.left(end).toStdString();
}

AppModel::AppModel(BundleInfo bundle, HelperClient helper, BackgroundService& service, Desktop& desktop, Clock clock,
                   std::unique_ptr<MacUpdater> updates, QObject* parent)
    : QObject(parent),
      bundle_(std::move(bundle)),
      helper_(std::move(helper)),
      service_(service),
      desktop_(desktop),
      clock_(std::move(clock)),
      updates_(std::move(updates)) {
  deviceName_ = bundle_.hostName.value_or(L10n::text("My Mac"));
  origin_ = bundle_.coordinatorURL.value_or(stagingOrigin);
  isStaging_ = !bundle_.buildChannel || *bundle_.buildChannel == "staging";
}

std::vector<std::string> AppModel::originArguments(const std::string& command) const {
  std::vector<std::string> arguments{command, "--url", origin_};
  // A development build talks plain HTTP to a coordinator on this computer,
  // which the tool only accepts when told so.
  for (const char* loopback : {"http://127.0.0.1", "http://localhost", "http://[::1]"}) {
    std::string prefix = loopback;
    if (origin_.compare(0, prefix.size(), prefix) == 0 &&
        (origin_.size() == prefix.size() || origin_[prefix.size()] == ':' || origin_[prefix.size()] == '/'))
      arguments.push_back("--development-loopback");
  }
  return arguments;
}

void AppModel::startRefreshing() {
  timer_.setInterval(5000);
  QPointer<AppModel> self(this);
  connect(&timer_, &QTimer::timeout, this, [self] {
    if (self) self->refresh();
  });
  timer_.start();
  QTimer::singleShot(0, this, [self] {
    if (self) self->refresh();
  });
}

void AppModel::setShowingManagement(bool showing) {
  showingManagement_ = showing;
  announce();
}
void AppModel::setDeviceName(std::string name) {
  deviceName_ = std::move(name);
  announce();
}
void AppModel::setEmail(std::string email) {
  email_ = std::move(email);
  announce();
}
void AppModel::setEmailCode(std::string code) {
  emailCode_ = std::move(code);
  announce();
}

bool AppModel::isInstalled() const {
  if (isPreview_) return true;
  std::error_code error;
  std::filesystem::path folder = std::filesystem::canonical(bundle_.bundle, error).parent_path();
  if (error) return false;
  return isInstallationFolder(folder, bundle_.home);
}

bool AppModel::isInstallationFolder(const std::filesystem::path& folder, const std::filesystem::path& home) {
  if (folder == "/Applications" || folder == CORVANE_PACKAGE_FOLDER) return true;
  std::error_code error;
  std::filesystem::path personal = std::filesystem::weakly_canonical(home / "Applications", error);
  return !error && folder == personal;
}

bool AppModel::registered() const {
  return serviceStatus_ == LoginItemStatus::enabled || serviceStatus_ == LoginItemStatus::requiresApproval;
}

bool AppModel::signingOut() const { return snapshot_ && snapshot_->signOutPending.value_or(false); }

bool AppModel::revoked() const {
  return snapshot_ && snapshot_->health &&
         (snapshot_->health->deviceRevoked.value_or(false) || snapshot_->health->state == "revoked");
}

bool AppModel::signedIn() const { return snapshotPaired() && !signingOut() && !revoked(); }

bool AppModel::statusIsCurrent() const { return snapshot_ && !statusError_; }

bool AppModel::canPrepareRepair() const {
  return isInstalled() && snapshotPaired() && revoked() && snapshot_->health->rePairReady.value_or(false) && !busy_ &&
         !checking_ && !statusError_;
}

bool AppModel::canVerifyEmail() const {
  if (emailSession_) return true;
  return emailChallenge_ && !expired(emailChallenge_->expiresAt, clock_()) && isSixDigits(emailCode_);
}

ConnectionState AppModel::state() const {
  return connectionState(snapshot_, serviceStatus_, isInstalled(), statusError_.has_value(), clock_());
}

std::vector<Login> AppModel::pendingLogins() const {
  std::vector<Login> logins = snapshot_ && snapshot_->logins ? *snapshot_->logins : std::vector<Login>{};
  std::stable_sort(logins.begin(), logins.end(), [](const Login& a, const Login& b) {
    WallTime first = parseTimestamp(a.expiresAt).value_or(distantPast);
    WallTime second = parseTimestamp(b.expiresAt).value_or(distantPast);
    return first != second ? first < second : a.id < b.id;
  });
  return logins;
}

bool AppModel::hasOpenPairing() const { return pairing_ && !expired(pairing_->expiresAt, clock_()); }

std::string AppModel::statusDetail() const {
  ConnectionState current = state();
  if (current == ConnectionState::checking) return L10n::text("Checking…");
  if (!isInstalled()) return L10n::text("Move Corvane to Applications, then reopen it to pair.");
  if (snapshot_ && !snapshot_->codexAvailable)
    return L10n::text(
        "The bundled Codex is incomplete. Reinstall the app. No separate Python, Node, or Codex installation is "
        "needed.");
  if (signingOut())
    return L10n::text(
        "Execution has stopped. Keep this Mac online to finish unlinking and removing Corvane credentials.");
  if (!statusIsCurrent())
    return L10n::text(
        "The latest status could not be confirmed. Last known information is shown; check again before making "
        "changes.");
  if (!snapshotPaired())
    return L10n::text("Sign in with your iPhone or an email code. This Mac will be linked to your Corvane account.");
  if (revoked() && snapshot_->health->rePairReady.value_or(false))
    return L10n::text(
        "Old connection cleanup is confirmed. You can pair again, then reconnect Codex accounts from your iPhone.");
  if (revoked())
    return L10n::text(
        "The old device is disabled. Keep the background service running and online while it cleans up credentials "
        "and reports results.");
  if (serviceStatus_ == LoginItemStatus::requiresApproval)
    return L10n::text("Allow Corvane to run in the background in the desktop's autostart settings.");
  if (!registered()) return L10n::text("Once started, the executor runs automatically when you log in to this Mac.");
  if (current == ConnectionState::online)
    return L10n::text("This Mac is available for background tasks. ChatGPT authorization is managed separately.");
  if (snapshot_->health && snapshot_->health->state == "storage_error")
    return L10n::text("The executor cannot save task state. Check disk space and folder permissions.");
  return L10n::text(
      "Background activity is enabled, but a recent connection has not been confirmed. Check your network and unlock "
      "the login keyring, then check status again.");
}

std::string AppModel::quitDetail() const {
  bool approval = serviceStatus_ == LoginItemStatus::requiresApproval;
  if (signingOut() || revoked()) {
    if (approval) return L10n::text("Background activity still needs your permission.");
    if (registered() && statusIsCurrent())
      return L10n::text("Background cleanup can continue. Reopen Corvane to confirm completion.");
    if (registered()) return L10n::text("Cleanup is not confirmed. Reopen Corvane to check its status.");
    return L10n::text("Cleanup is paused while the background service is stopped. Reopen Corvane to continue.");
  }
  if (state() == ConnectionState::online)
    return L10n::text("Quitting this interface leaves the background service running.");
  if (approval) return L10n::text("Background activity still needs your permission.");
  if (registered()) return L10n::text("Background activity is enabled; its connection is not confirmed.");
  return L10n::text("The background service is not enabled.");
}

QCoro::Task<> AppModel::refresh() {
  if (isPreview_ || checking_ || busy_) co_return;
  checking_ = true;
  serviceStatus_ = service_.status();
  announce();
  co_await refreshSteps();
  checking_ = false;
  announce();
}

QCoro::Task<> AppModel::refreshSteps() {
  std::vector<std::string> prepareRepairArguments{"prepare-repair"};
  std::vector<std::string> pollArguments = originArguments("pair-poll");
  std::optional<std::string> failure;
  try {
    HelperSnapshot first = co_await helper_.snapshot();
    receive(first);
    statusError_.reset();
  } catch (const std::exception& exception) {
    failure = describe(exception);
  }
  if (failure) {
    statusError_ = failure;
    co_return;
  }

  // The executor has confirmed a sign-out's clean-up: stop it and retire the
  // pairing, so that the Mac can be paired again.
  if (signingOut() && snapshot_->health && snapshot_->health->rePairReady.value_or(false)) {
    try {
      co_await service_.unregisterService();
    } catch (const std::exception& exception) {
      failure = describe(exception);
    }
    if (failure) {
      statusError_ = failure;
      co_return;
    }
    try {
      co_await helper_.run(prepareRepairArguments, std::nullopt);
    } catch (const std::exception& exception) {
      failure = describe(exception);
    }
    if (failure) {
      // The executor must finish the clean-up, so it runs again.
      try {
        service_.registerService();
      } catch (const std::exception&) {
      }
      statusError_ = failure;
      co_return;
    }
    try {
      HelperSnapshot after = co_await helper_.snapshot();
      receive(after);
    } catch (const std::exception& exception) {
      failure = describe(exception);
    }
    if (failure) {
      statusError_ = failure;
      co_return;
    }
    serviceStatus_ = service_.status();
  }

  if (snapshotPaired() || !hasOpenPairing()) co_return;
  std::map<std::string, std::string> answer;
  std::optional<std::string> token = pairing_->pollToken;
  try {
    std::string bytes = co_await helper_.run(pollArguments, token);
    answer = decoding::stringObject(bytes);
  } catch (const std::exception& exception) {
    failure = describe(exception);
  }
  if (failure) {
    statusError_ = failure;
    co_return;
  }
  if (answer["status"] != "paired") co_return;
  pairing_.reset();
  clearEmail();
  try {
    HelperSnapshot paired = co_await helper_.snapshot();
    receive(paired);
  } catch (const std::exception& exception) {
    failure = describe(exception);
  }
  if (failure) {
    statusError_ = failure;
    co_return;
  }
  try {
    service_.registerService();
    serviceStatus_ = service_.status();
  } catch (const std::exception& exception) {
    statusError_ = describe(exception);
  }
}

void AppModel::receive(HelperSnapshot snapshot) {
  snapshot_ = std::move(snapshot);
  const HelperSnapshot& current = *snapshot_;
  bool revokedHealth =
      current.health && (current.health->deviceRevoked.value_or(false) || current.health->state == "revoked");
  if (current.paired && !current.signOutPending.value_or(false) && !revokedHealth)
    authorizationHistory_.update(current.logins.value_or(std::vector<Login>{}));
  else
    authorizationHistory_ = AuthorizationHistory{};
  announce();
}

QCoro::Task<Pairing> AppModel::startPairing() {
  std::vector<std::string> arguments = originArguments("pair-start");
  arguments.push_back("--name");
  arguments.push_back(firstCharacters(deviceName_, 80));
  std::string bytes = co_await helper_.run(arguments, std::nullopt);
  co_return decodePairing(bytes);
}

QCoro::Task<> AppModel::createPairing() {
  if (isPreview_ || !isInstalled() || snapshotPaired() || busy_ || !statusIsCurrent() || !snapshot_->codexAvailable)
    co_return;
  busy_ = true;
  error_.reset();
  announce();
  try {
    Pairing opened = co_await startPairing();
    pairing_ = opened;
  } catch (const std::exception& exception) {
    error_ = describe(exception);
  }
  busy_ = false;
  announce();
}

QCoro::Task<> AppModel::sendEmailCode() {
  if (isPreview_ || busy_ || snapshotPaired() || !isInstalled() || clock_() < emailResendAvailableAt_ ||
      emailSession_ || !statusIsCurrent())
    co_return;
  if (!hasOpenPairing()) co_await createPairing();
  if (!hasOpenPairing()) co_return;
  busy_ = true;
  error_.reset();
  announce();
  std::vector<std::string> arguments = originArguments("email-start");
  json body = json::object();
  body["email"] = trimmed(email_);
  body["language"] = L10n::language(platform::preferredLanguages());
  std::optional<std::string> input = body.dump();
  try {
    std::string bytes = co_await helper_.run(arguments, input);
    json object = decoding::parseObject(bytes);
    EmailChallenge challenge{decoding::requiredString(object, "challengeId"),
                             decoding::requiredString(object, "expiresAt")};
    emailChallenge_ = challenge;
    emailResendAvailableAt_ = clock_() + std::chrono::seconds(60);
    emailCode_.clear();
  } catch (const std::exception& exception) {
    error_ = describe(exception);
  }
  busy_ = false;
  announce();
}

QCoro::Task<> AppModel::verifyEmail() {
  if (isPreview_ || busy_ || snapshotPaired() || !emailChallenge_) co_return;
  if (!emailSession_ && expired(emailChallenge_->expiresAt, clock_())) {
    error_ = L10n::text("This verification code has expired. Request a new code.");
    announce();
    co_return;
  }
  if (!canVerifyEmail()) co_return;
  busy_ = true;
  error_.reset();
  announce();
  try {
    if (!emailSession_) {
      std::vector<std::string> arguments = originArguments("email-verify");
      json body = json::object();
      body["challengeId"] = emailChallenge_->challengeId;
      body["code"] = emailCode_;
      std::optional<std::string> input = body.dump();
      std::string bytes = co_await helper_.run(arguments, input);
      // Kept through a failed confirmation, so a retry needs no new code.
      emailSession_ = decoding::requiredString(decoding::parseObject(bytes), "token");
    }
    if (!hasOpenPairing()) {
      Pairing opened = co_await startPairing();
      pairing_ = opened;
    }
    if (!pairing_ || !emailSession_) throw HelperError(HelperError::Kind::failed);
    std::vector<std::string> arguments = originArguments("pair-confirm");
    json body = json::object();
    body["token"] = *emailSession_;
    body["id"] = pairing_->id;
    body["code"] = pairing_->code;
    std::optional<std::string> input = body.dump();
    co_await helper_.run(arguments, input);
    clearEmail();
  } catch (const std::exception& exception) {
    error_ = describe(exception);
  }
  busy_ = false;
  announce();
  co_await refresh();
}

void AppModel::clearEmail() {
  emailChallenge_.reset();
  emailCode_.clear();
  emailSession_.reset();
  error_.reset();
  announce();
}

QCoro::Task<> AppModel::signOut() {
  if (isPreview_ || busy_ || checking_ || !signedIn() || !statusIsCurrent()) co_return;
  busy_ = true;
  error_.reset();
  announce();
  try {
    std::vector<std::string> arguments{"sign-out"};
    co_await helper_.run(arguments, std::nullopt);
    HelperSnapshot after = co_await helper_.snapshot();
    receive(after);
    // A restart: the executor that starts again carries out the sign-out.
    co_await service_.unregisterService();
    service_.registerService();
    serviceStatus_ = service_.status();
  } catch (const std::exception& exception) {
    error_ = describe(exception);
  }
  busy_ = false;
  announce();
  co_await refresh();
}

std::string AppModel::authorize(const Login& login) {
  std::string gone = L10n::text("This request is no longer available. Check its status on your iPhone.");
  std::optional<std::string> url = login.safeURL(clock_());
  if (isPreview_ || !signedIn() || !statusIsCurrent() || !url) return gone;
  auto logins = pendingLogins();
  bool listed = std::any_of(logins.begin(), logins.end(), [&](const Login& shown) {
    return shown.id == login.id && shown.userCode == login.userCode;
  });
  if (!listed) return gone;
  bool copied = desktop_.copyToPasteboard(login.userCode);
  bool opened = desktop_.openURL(*url);
  if (opened && copied) return L10n::text("Code copied and official page opened. Authorization is not yet confirmed.");
  if (opened) return L10n::text("Official page opened, but copying failed. Enter the code shown here.");
  return L10n::text("Could not open the official page. Try again or check your default browser.");
}

QCoro::Task<> AppModel::prepareRepair() {
  if (isPreview_ || !canPrepareRepair()) co_return;
  busy_ = true;
  error_.reset();
  bool wasRegistered = registered();
  announce();
  bool failed = false;
  try {
    if (wasRegistered) co_await service_.unregisterService();
    std::vector<std::string> arguments{"prepare-repair"};
    co_await helper_.run(arguments, std::nullopt);
  } catch (const std::exception&) {
    failed = true;
  }
  if (failed) {
    error_ = L10n::text(
        "Cannot pair again yet. Stay online and let the background service finish credential cleanup and reporting, "
        "then retry.");
    if (wasRegistered) {
      try {
        service_.registerService();
      } catch (const std::exception&) {
      }
    }
  }
  busy_ = false;
  announce();
  co_await refresh();
}

QCoro::Task<> AppModel::start() {
  if (isPreview_ || !isInstalled() || !snapshotPaired() || busy_ || checking_ || !statusIsCurrent() ||
      !snapshot_->codexAvailable)
    co_return;
  busy_ = true;
  error_.reset();
  announce();
  try {
    service_.registerService();
  } catch (const std::exception&) {
    error_ = L10n::text(
        "The background service could not start. Check background permissions in the desktop's autostart settings "
        "and retry.");
  }
  busy_ = false;
  announce();
  co_await refresh();
}

QCoro::Task<> AppModel::stop() {
  if (isPreview_ || busy_ || checking_ || !signedIn() || !statusIsCurrent() || !registered()) co_return;
  busy_ = true;
  error_.reset();
  announce();
  bool failed = false;
  try {
    co_await service_.unregisterService();
  } catch (const std::exception&) {
    failed = true;
  }
  if (failed) error_ = L10n::text("The background service could not stop. Try again later.");
  busy_ = false;
  announce();
  co_await refresh();
}

QCoro::Task<> AppModel::setAutomaticDiagnostics(bool enabled) {
  if (isPreview_ || busy_) co_return;
  busy_ = true;
  announce();
  std::vector<std::string> arguments{"diagnostics-setting"};
  std::optional<std::string> input = enabled ? "{\"enabled\":true}" : "{\"enabled\":false}";
  try {
    std::string bytes = co_await helper_.run(arguments, input);
    if (snapshot_) snapshot_->supportDiagnostics = SupportDiagnostics::decode(bytes);
  } catch (const std::exception&) {
    error_ = L10n::text("Could not update diagnostic settings. Try again.");
  }
  busy_ = false;
  announce();
}

QCoro::Task<std::optional<std::string>> AppModel::reportProblem(std::string description) {
  if (isPreview_ || busy_) co_return L10n::text("Please wait and try again.");
  busy_ = true;
  announce();
  bool failed = false;
  std::vector<std::string> arguments{"support-report"};
  json body = json::object();
  body["description"] = description;
  std::optional<std::string> input = body.dump(-1, ' ', false, json::error_handler_t::replace);
  try {
    std::string bytes = co_await helper_.run(arguments, input);
    if (snapshot_) snapshot_->supportDiagnostics = SupportDiagnostics::decode(bytes);
  } catch (const std::exception&) {
    failed = true;
  }
  busy_ = false;
  announce();
  if (failed) co_return L10n::text("Could not prepare the report. You can export diagnostics instead.");
  co_return std::nullopt;
}

QCoro::Task<std::optional<std::string>> AppModel::exportDiagnostics() {
  if (isPreview_ || busy_) co_return std::nullopt;
  std::optional<std::filesystem::path> destination =
      co_await desktop_.chooseSaveDestination("Corvane-diagnostics.json");
  if (!destination || busy_) co_return std::nullopt;
  busy_ = true;
  announce();
  bool written = false;
  try {
    std::vector<std::string> arguments{"diagnostics"};
    std::string bytes = co_await helper_.run(arguments, std::nullopt);
    json report = decoding::parseObject(bytes);
    report["appVersion"] = bundle_.shortVersion.value_or("unknown");
    report["appBuild"] = bundle_.buildVersion.value_or("unknown");
    report["macOS"] = bundle_.systemVersion;
    written = writeAtomically(*destination, report.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
  } catch (const std::exception&) {
  }
  busy_ = false;
  announce();
  if (written) co_return L10n::text("Diagnostics exported. You can send this file to support.");
  co_return L10n::text("Could not export diagnostics. Check the destination and try again.");
}

}  // namespace corvane::app
