#include "executor/cli/StatusCommands.h"

#include <system_error>

#include "executor/cli/Executables.h"
#include "executor/codex/CodexDiagnostics.h"
#include "executor/coordinator/CoordinatorClient.h"
#include "executor/diagnostics/DiagnosticMetadata.h"
#include "executor/diagnostics/SupportDiagnostics.h"
#include "executor/state/AgentHealth.h"
#include "executor/state/PairingRecord.h"
#include "executor/support/CVError.h"
#include "executor/support/DataDirectory.h"
#include "executor/support/Paths.h"
#include "executor/support/PrivateFiles.h"
#include "executor/support/SignInAddress.h"

namespace corvane {

namespace {

// A directory holding more pending sign-ins than this is not normal; only
// this many are even opened, so a flooded folder cannot slow the poll down.
constexpr int pendingLoginsExamined = 5;
constexpr size_t userCodeLimit = 100;

bool codexAvailable(const Options& options) {
  try {
    resolveExecutable(options.codex);
    return true;
  } catch (const CVError&) {
    return false;
  }
}

const std::string* stringMember(const Json& object, const char* key) {
  auto member = object.find(key);
  return member != object.end() && member->is_string() ? member->get_ptr<const std::string*>() : nullptr;
}

Json health(const std::filesystem::path& directory) {
  auto record = readJSONObjectFile(directory / DataDirectory::agentHealth, statusFileLimit);
  if (!record) return nullptr;
  auto published = AgentHealth::fromJSON(*record);
  if (!published) return nullptr;
  return published->health.json(published->updatedAt);
}

std::optional<Json> pendingLogin(const std::filesystem::path& file, WallTime now) {
  auto login = readJSONObjectFile(file, statusFileLimit);
  if (!login) return std::nullopt;
  const std::string* id = stringMember(*login, "id");
  const std::string* verificationUrl = stringMember(*login, "verificationUrl");
  const std::string* userCode = stringMember(*login, "userCode");
  if (!id || !isIdentifier(*id) || !verificationUrl || !isSignInAddress(*verificationUrl) || !userCode ||
      userCode->size() > userCodeLimit)
    return std::nullopt;
  WallTime expiresAt;
  try {
    auto member = login->find("expiresAt");
    expiresAt = parseTime(member == login->end() ? nullptr : &*member);
  } catch (const CVError&) {
    return std::nullopt;
  }
  if (expiresAt <= now) return std::nullopt;
  return Json{{"id", *id},
              {"verificationUrl", *verificationUrl},
              {"userCode", *userCode},
              {"expiresAt", formatTime(expiresAt)}};
}

Json pendingLogins(const std::filesystem::path& directory, WallTime now) {
  Json logins = Json::array();
  std::filesystem::path folder = directory / DataDirectory::pendingLogins;
  if (isSymbolicLink(folder)) return logins;
  std::error_code error;
  std::filesystem::directory_iterator entries(folder, error);
  int examined = 0;
  // Listing order, as the system gives it; the files are read without
  // following links by readJSONObjectFile.
  for (; !error && entries != std::filesystem::directory_iterator() && examined < pendingLoginsExamined;
       entries.increment(error), ++examined)
    if (auto login = pendingLogin(entries->path(), now)) logins.push_back(std::move(*login));
  return logins;
}

Json latestCodexError(const std::filesystem::path& directory, WallTime now) {
  auto entries = CodexDiagnostics(directory).entries(now);
  if (entries.empty()) return nullptr;
  return Json{{"code", entries.back().code}, {"recordedAt", entries.back().recordedAt}};
}

}  // namespace

Json appStatus(const std::filesystem::path& directory, bool codexAvailable, WallTime now) {
  // Nothing inside a directory reached through a link is read: it may be
  // anyone's.
  if (isSymbolicLink(directory))
    return Json{{"codexAvailable", codexAvailable}, {"health", nullptr}, {"paired", false}};

  auto coordinator = readJSONObjectFile(directory / DataDirectory::pairingRecord, statusFileLimit);
  bool paired = false;
  std::string email;
  if (coordinator) {
    const std::string* deviceId = stringMember(*coordinator, "deviceId");
    paired = deviceId && isIdentifier(*deviceId) && stringMember(*coordinator, "url");
    if (const std::string* value = stringMember(*coordinator, "email")) email = *value;
  }
  std::error_code error;
  bool signOutPending =
      std::filesystem::exists(std::filesystem::symlink_status(directory / DataDirectory::signOutMarker, error));

  return Json{{"codexAvailable", codexAvailable},
              {"email", email},
              {"health", health(directory)},
              {"latestCodexError", latestCodexError(directory, now)},
              {"logins", paired ? pendingLogins(directory, now) : Json::array()},
              {"paired", paired},
              {"signOutPending", signOutPending},
              {"supportDiagnostics", SupportDiagnostics(directory, DiagnosticMetadata::current()).status(now)}};
}

CommandOutput appStatusCommand(const Options& options) {
  return appStatus(options.dataDirectory, codexAvailable(options), currentWallTime());
}

CommandOutput doctorCommand(const Options& options) {
  bool keychainConfigured = true;
  try {
    coordinator(options.dataDirectory);
  } catch (const CVError&) {
    keychainConfigured = false;
  }
  return Json{{"codexAvailable", codexAvailable(options)},
              {"keychainConfigured", keychainConfigured},
              {"pairingConfigured", PairingRecord::exists(options.dataDirectory)}};
}

}  // namespace corvane
