#include "executor/codex/CodexAdapter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "executor/codex/CodexAccountHome.h"
#include "executor/codex/CodexProcess.h"
#include "executor/codex/PingOutcome.h"
#include "executor/quota/QuotaWhitelist.h"
#include "executor/quota/ResetEvidence.h"
#include "executor/quota/WindowLifecycle.h"
#include "executor/support/CVError.h"
#include "executor/support/Parsing.h"
#include "executor/support/PrivateFiles.h"
#include "executor/support/SignInAddress.h"
#include "executor/support/Uuid.h"
#include "platform/Clock.h"

namespace corvane {

namespace {

// Each runtime request gets at most this long, within the operation's
// deadline; only the wait for a sign-in to complete may take all of it.
constexpr double requestSeconds = 30;
// A ping is one short turn; one that runs longer has gone wrong.
constexpr double pingSeconds = 90;

constexpr size_t maximumLoginIdLength = 256;
constexpr size_t maximumUserCodeLength = 64;
constexpr size_t maximumEmailLength = 320;

double requestDeadline(double deadline) { return std::min(platform::continuousSeconds() + requestSeconds, deadline); }

// The number of characters (code points) of UTF-8 text.
size_t characterCount(const std::string& text) {
  return std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
}

// Whether path is a directory, asked without following a link: a missing
// entry is no; a link, another kind of file or any other error is storage.
bool directoryExists(const std::filesystem::path& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return false;
    throw CVError::storage();
  }
  if (!S_ISDIR(info.st_mode)) throw CVError::storage();
  return true;
}

// A fresh private working directory under the system's temporary folder,
// removed with everything in it when this goes.
class WorkDirectory {
 public:
  explicit WorkDirectory(const std::string& prefix)
      : path_(std::filesystem::temp_directory_path() / (prefix + randomUUID())) {
    try {
      privateDirectory(path_);
    } catch (...) {
      removeQuietly();
      throw;
    }
  }
  ~WorkDirectory() { removeQuietly(); }
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  void removeQuietly() const {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  std::filesystem::path path_;
};

// Closes the process however the run is left.
struct ProcessCloser {
  CodexProcess& process;
  ~ProcessCloser() { process.close(); }
};

}  // namespace

CodexAdapter::CodexAdapter(Configuration configuration, std::optional<CodexTaskLabel> diagnosticTask)
    : configuration_(std::move(configuration)),
      diagnostics_(configuration_.directory),
      diagnosticTask_(std::move(diagnosticTask)) {}

std::unique_ptr<CodexOperations> CodexAdapter::forTask(const CodexTaskLabel& task) const {
  return std::make_unique<CodexAdapter>(configuration_, task);
}

bool CodexAdapter::isSignInAddress(const std::string& address) { return corvane::isSignInAddress(address); }

void CodexAdapter::reportFailure(const CodexFailure& failure) const {
  diagnostics_.record(failure, currentWallTime());
  if (configuration_.supportEvents)
    configuration_.supportEvents({.code = failure.code.rawValue(),
                                  .task = diagnosticTask_,
                                  .durationMs = failure.durationMs,
                                  .rpcCode = failure.rpcCode,
                                  .httpStatus = failure.httpStatus});
}

void CodexAdapter::reportSuccess(const std::string& method, int milliseconds) const {
  // Only a sign-in has steps worth timing when they work: the user waits
  // through them.
  if (!diagnosticTask_ || diagnosticTask_->action != "connect" || !configuration_.supportEvents) return;
  configuration_.supportEvents({.code = "codex_" + std::string(rawValue(CodexFailure::stage(method))) + "_succeeded",
                                .task = diagnosticTask_,
                                .durationMs = milliseconds,
                                .rpcCode = std::nullopt,
                                .httpStatus = std::nullopt});
}

template <typename Body>
auto CodexAdapter::withServer(const std::string& credentialID, double deadline, Body body)
    -> decltype(body(std::declval<CodexProcess&>())) {
  if (platform::continuousSeconds() >= deadline) throw CVError::timeout();
  std::filesystem::path home = CodexAccountHome(configuration_.directory).accountHome(credentialID);
  WorkDirectory work("corvane-codex-");
  std::vector<std::string> arguments = {"app-server", "--listen", "stdio://"};
  for (auto& setting : CodexAccountHome::settings(work.path())) arguments.push_back(std::move(setting));
  CodexProcess process(
      configuration_.executable, arguments, work.path(), CodexAccountHome::cleanEnvironment(home),
      configuration_.guardFD, deadline, configuration_.supervisor,
      [this](const CodexFailure& failure) { reportFailure(failure); },
      [this](const std::string& method, int milliseconds) { reportSuccess(method, milliseconds); });
  ProcessCloser closer{process};
  process.request("initialize", Json{{"clientInfo", {{"name", "corvane_local"}, {"version", "0.1.0"}}}},
                  requestDeadline(deadline));
  process.notify("initialized", Json::object(), requestDeadline(deadline));
  return body(process);
}

Json CodexAdapter::read(CodexProcess& process, const std::string& accountID, double deadline) const {
  Json answer = process.request("account/read", Json{{"refreshToken", false}}, requestDeadline(deadline));
  // A signed-out runtime answers with a null account: not signed in, rather
  // than a malformed answer.
  const Json* accountMember = member(answer, "account");
  if (accountMember && accountMember->is_null()) throw CVError::runtime("not_authenticated");
  const Json& account = object(accountMember);
  const Json* type = member(account, "type");
  if (!type || !type->is_string() || *type != "chatgpt") throw CVError::runtime("not_authenticated");
  std::string planType = string(member(account, "planType"), "planType");
  std::optional<std::string> email;
  if (const Json* value = member(account, "email"); value && !value->is_null()) {
    if (!value->is_string() || characterCount(value->get<std::string>()) > maximumEmailLength)
      throw CVError::runtime("protocol_error");
    email = value->get<std::string>();
  }
  Json limits = process.request("account/rateLimits/read", std::nullopt, requestDeadline(deadline));

  Json data = {{"planType", planType}, {"rateLimits", quotaWhitelist(limits)}};
  if (email) data["email"] = *email;
  std::filesystem::path home = CodexAccountHome(configuration_.directory).accountHome(accountID);
  WallTime now = currentWallTime();
  data["windowStates"] = WindowLifecycle::record(data, WindowLifecycle::stateFile(home), now);
  ResetEvidence::observe(data, limits, ResetEvidence::observationFile(home), now);
  return data;
}

Json CodexAdapter::readAccount(const std::string& credentialID, double deadline) {
  return withServer(credentialID, deadline,
                    [&](CodexProcess& process) { return read(process, credentialID, deadline); });
}

CodexOperations::Connection CodexAdapter::connect(const std::string& credentialID, double deadline,
                                                  const Progress& progress) {
  return withServer(credentialID, deadline, [&](CodexProcess& process) {
    Json started =
        process.request("account/login/start", Json{{"type", "chatgptDeviceCode"}}, requestDeadline(deadline));
    std::string loginId = string(member(started, "loginId"), "loginId");
    std::string userCode = string(member(started, "userCode"), "userCode");
    std::string verificationUrl = string(member(started, "verificationUrl"), "verificationUrl");
    // The address and code go to the user's phone: only a real sign-in page
    // of the service may be shown there.
    if (characterCount(loginId) > maximumLoginIdLength || characterCount(userCode) > maximumUserCodeLength ||
        !isSignInAddress(verificationUrl))
      throw CVError::runtime("protocol_error");
    try {
      progress(verificationUrl, userCode);
    } catch (...) {
      try {
        process.request("account/login/cancel", Json{{"loginId", loginId}}, requestDeadline(deadline));
      } catch (...) {
        // The cancellation is a courtesy; the caller needs the progress error.
      }
      throw;
    }
    process.waitLogin(loginId, deadline);
    Connection connection;
    connection.readStartedAt = formatTime(currentWallTime());
    try {
      connection.data = read(process, credentialID, deadline);
    } catch (const CVError& error) {
      bool signedOut = error.kind() == CVError::Kind::runtime && error.message() == "not_authenticated";
      if (signedOut || error.kind() == CVError::Kind::storage) throw;
      // The sign-in worked; what failed is reading the account afterwards.
      throw CVError::runtime("quota_unavailable");
    } catch (const std::exception&) {
      throw CVError::runtime("quota_unavailable");
    }
    connection.readCompletedAt = formatTime(currentWallTime());
    return connection;
  });
}

Json CodexAdapter::remove(const std::string& credentialID, double deadline) {
  if (!isIdentifier(credentialID)) throw CVError::runtime("invalid_account");
  if (!directoryExists(configuration_.directory)) throw CVError::storage();
  std::filesystem::path base = CodexAccountHome(configuration_.directory).homesDirectory();
  std::filesystem::path home = base / credentialID;
  bool acknowledged = false;
  if (directoryExists(base) && directoryExists(home)) {
    withServer(credentialID, deadline, [&](CodexProcess& process) {
      process.request("account/logout", Json::object(), requestDeadline(deadline));
      return 0;
    });
    std::error_code error;
    std::filesystem::remove_all(home, error);
    if (error || directoryExists(home)) throw CVError::storage();
    acknowledged = true;
  }
  return Json{{"credentialsAbsent", true},
              {"activeJobsStopped", true},
              {"logoutAcknowledged", acknowledged},
              {"namespaceAbsent", true}};
}

Json CodexAdapter::ping(const std::string& credentialID, double deadline) {
  auto outcome = [](std::string_view result) { return Json{{"result", result}}; };
  std::filesystem::path home;
  std::optional<WorkDirectory> work;
  try {
    home = CodexAccountHome(configuration_.directory).accountHome(credentialID);
    work.emplace("corvane-ping-");
  } catch (...) {
    return outcome("unknown");
  }
  std::vector<std::string> arguments = {"exec",
                                        "--ignore-user-config",
                                        "--ignore-rules",
                                        "--ephemeral",
                                        "--skip-git-repo-check",
                                        "--sandbox",
                                        "read-only",
                                        "--json",
                                        "--color",
                                        "never",
                                        "--cd",
                                        work->path().string(),
                                        "--model",
                                        configuration_.model};
  for (auto& setting : CodexAccountHome::settings(work->path())) arguments.push_back(std::move(setting));
  arguments.emplace_back(pingPrompt);

  double runDeadline = std::min(platform::continuousSeconds() + pingSeconds, deadline);
  std::optional<CodexProcess> process;
  try {
    process.emplace(configuration_.executable, arguments, work->path(), CodexAccountHome::cleanEnvironment(home),
                    configuration_.guardFD, runDeadline, configuration_.supervisor);
  } catch (...) {
    return outcome("unknown");
  }
  ProcessCloser closer{*process};
  process->closeInput();

  // The outcome is proven from the event stream alone (PingOutcome).
  PingOutcome events;
  try {
    for (;;)
      if (auto result = events.observe(process->receive(runDeadline))) return outcome(*result);
  } catch (...) {
    return outcome("unknown");
  }
}

}  // namespace corvane
