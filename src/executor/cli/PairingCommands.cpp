#include "executor/cli/PairingCommands.h"

#include <filesystem>

#include "executor/cli/SecretInput.h"
#include "executor/coordinator/CoordinatorClient.h"
#include "executor/state/DirectoryLock.h"
#include "executor/state/PairingRecord.h"
#include "executor/state/TokenVault.h"
#include "executor/support/CVError.h"
#include "executor/support/DataDirectory.h"
#include "executor/support/Parsing.h"
#include "executor/support/Paths.h"
#include "executor/support/PrivateFiles.h"
#include "localization/L10n.h"
#include "platform/Clock.h"

namespace corvane {

namespace {

// Either present in any form, a dangling or planted link included: the
// directory is taken either way.
bool isPaired(const Options& options) { return PairingRecord::exists(options.dataDirectory); }
bool hasLegacyState(const Options& options) { return entryExists(options.dataDirectory / DataDirectory::legacyState); }

// How long a pairing waits for another process to let go of the directory.
// The holders are pairing and repair runs, whose requests end within seconds,
// or a background executor, which only runs on a paired directory (so the
// waiter refuses without waiting); the bound only stops an endless wait.
constexpr double lockWaitSeconds = 60;

void refuseIfPaired(const Options& options) {
  if (isPaired(options))
    throw CVError::invalid(L10n::text(
        "This directory is already paired. Disable the old device in the app and pair using a new directory"));
  if (hasLegacyState(options)) throw CVError::invalid(L10n::text("Cannot reuse the local development directory"));
}

void refuseIfConnected(const Options& options) {
  if (isPaired(options) || hasLegacyState(options))
    throw CVError::invalid(
        L10n::text("This directory is already connected; finish cleaning up the old connection first"));
}

// The directory's lock, held from the last check of the directory until the
// pairing is stored, so that of two runs on one directory only one pairs and
// the other refuses before it sends anything. A run that finds the lock taken
// on a directory that is already paired refuses at once; otherwise it waits
// for the holder to finish and then checks again.
DirectoryLock exclusivePairing(const Options& options, void (*refuse)(const Options&)) {
  DirectoryLock lock(options.dataDirectory);
  if (!lock.tryLock()) {
    refuse(options);
    if (!lock.lockBefore(platform::continuousSeconds() + lockWaitSeconds))
      throw CVError::invalid(L10n::text("Another Corvane process is using this directory. Try again later."));
  }
  refuse(options);
  return lock;
}

// The device token the coordinator is about to hand out is delivered once:
// with nowhere to keep it, asking for it would lose it.
void requireWritableKeyring(const Options& options) { TokenVault(options.dataDirectory).checkWritable(); }

CoordinatorClient anonymousClient(const Options& options) {
  return CoordinatorClient(*options.origin, std::nullopt, options.developmentLoopback);
}

// Keyring first, then coordinator.json; a failed second step takes the first
// back so that a failed pairing leaves neither half.
void storePairing(const Options& options, const CoordinatorClient& client, const Json& response,
                  const std::string& token, const std::string& deviceId) {
  // Building a client with the token is what checks its syntax.
  CoordinatorClient(client.origin(), token, options.developmentLoopback);
  TokenVault vault(options.dataDirectory);
  vault.set(token);
  const Json* email = member(response, "email");
  PairingRecord record{client.origin(), deviceId, email && email->is_string() ? email->get<std::string>() : "",
                       options.developmentLoopback};
  try {
    record.write(options.dataDirectory);
  } catch (...) {
    try {
      vault.remove();
    } catch (const CVError&) {
    }
    throw;
  }
}

// Shared start of pair-start and pair-poll.
CoordinatorClient pairingRequestClient(const Options& options) {
  if (!options.origin) throw CVError::invalid(L10n::text("Missing service URL"));
  CoordinatorClient client = anonymousClient(options);
  refuseIfConnected(options);
  return client;
}

// Shared start of the e-mail commands: the input object from standard input.
Json signInInput(const Options& options) {
  // The app always passes --url; without one there is nowhere to sign in.
  if (!options.origin) throw CVError::storage();
  if (isPaired(options)) throw CVError::invalid(L10n::text("Sign out before connecting another account."));
  auto input = parseJSON(secretInput(""));
  if (!input) throw CVError::invalid(L10n::text("Invalid JSON"));
  return object(*input);
}

}  // namespace

CommandOutput pairCommand(const Options& options) {
  if (!options.origin) throw CVError::invalid(L10n::text("pair requires --url"));
  CoordinatorClient client = anonymousClient(options);
  refuseIfPaired(options);
  requireWritableKeyring(options);

  std::string code = secretInput(L10n::text("Enter the pairing code from the iPhone app: "));
  if (code.empty()) throw CVError::invalid(L10n::text("Missing %1$@", "code"));
  DirectoryLock lock = exclusivePairing(options, refuseIfPaired);
  Json response = client.post("/v1/executor/pair", {{"code", code}, {"name", options.name}});
  std::string token = string(member(response, "token"), "token");
  std::string deviceId = string(member(response, "deviceId"), "deviceId");
  storePairing(options, client, response, token, deviceId);
  return L10n::text("Paired successfully. Run agent or explicitly run install to start the background service.");
}

CommandOutput pairStartCommand(const Options& options) {
  CoordinatorClient client = pairingRequestClient(options);
  return client.post("/v1/mac-pairings/start", {{"name", options.name}});
}

CommandOutput pairPollCommand(const Options& options) {
  CoordinatorClient client = pairingRequestClient(options);
  requireWritableKeyring(options);
  std::string pollToken = secretInput(L10n::text("Pairing request: "));
  if (pollToken.empty()) throw CVError::invalid(L10n::text("Missing %1$@", "pollToken"));
  DirectoryLock lock = exclusivePairing(options, refuseIfConnected);
  Json response = client.post("/v1/mac-pairings/poll", {{"pollToken", pollToken}});
  const Json* status = member(response, "status");
  if (status && status->is_string() && *status == "paired") {
    std::string token = string(member(response, "token"), "token");
    std::string deviceId = string(member(response, "deviceId"), "deviceId");
    // Unlike pair's code path, this identifier arrives through the app's
    // polling and is checked before anything is stored.
    if (!isIdentifier(deviceId)) throw CVError::invalid(L10n::text("Invalid device identifier"));
    storePairing(options, client, response, token, deviceId);
  }
  return Json{{"status", status && status->is_string() ? status->get<std::string>() : std::string("waiting")}};
}

CommandOutput emailStartCommand(const Options& options) {
  Json input = signInInput(options);
  CoordinatorClient client = anonymousClient(options);
  const Json* language = member(input, "language");
  return client.post("/v1/auth/email/start",
                     {{"email", string(member(input, "email"), "email")},
                      {"purpose", "login"},
                      {"language", language && language->is_string() ? language->get<std::string>() : "en"}});
}

CommandOutput emailVerifyCommand(const Options& options) {
  Json input = signInInput(options);
  CoordinatorClient client = anonymousClient(options);
  return client.post("/v1/auth/email/verify", {{"challengeId", string(member(input, "challengeId"), "challengeId")},
                                               {"code", string(member(input, "code"), "code")}});
}

CommandOutput pairConfirmCommand(const Options& options) {
  Json input = signInInput(options);
  anonymousClient(options);  // the origin's errors come before the input's
  CoordinatorClient session(*options.origin, string(member(input, "token"), "token"), options.developmentLoopback);
  std::string id = string(member(input, "id"), "id");
  std::string code = string(member(input, "code"), "code");
  // Confirming approves the pairing whose credentials pair-poll then
  // receives once; it must be able to keep them.
  requireWritableKeyring(options);
  Json response = session.post("/v1/mac-pairings/confirm", {{"id", id}, {"code", code}});
  try {
    // The session was only for this confirmation; a failure to end it does
    // not undo the confirmation, and the coordinator expires it anyway.
    session.post("/v1/auth/logout", Json::object());
  } catch (const CVError&) {
  }
  return response;
}

CommandOutput signOutCommand(const Options& options) {
  if (!isPaired(options)) throw CVError::storage();
  atomicPrivateJSON({{"requested", true}}, options.dataDirectory / DataDirectory::signOutMarker);
  return Json{{"signOutPending", true}};
}

}  // namespace corvane
