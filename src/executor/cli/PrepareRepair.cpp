#include "executor/cli/PrepareRepair.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "executor/coordinator/CoordinatorClient.h"
#include "executor/state/DirectoryLock.h"
#include "executor/state/Journal.h"
#include "executor/state/TokenVault.h"
#include "executor/support/CVError.h"
#include "executor/support/DataDirectory.h"
#include "localization/L10n.h"

namespace corvane {

namespace {

// A shut-down executor that can do nothing: the coordinator answers it with
// the device's revocation and clean-up state.
Json retiringHeartbeat() {
  return Json{{"protocolVersion", 3},           {"canExecute", false},           {"canClean", false},
              {"freeConnectSlots", 0},          {"freeReadPingSlots", 0},        {"freeCleanupSlots", 0},
              {"failureCode", "shutting_down"}, {"activeTaskIds", Json::array()}};
}

// Whether the account homes are gone: no codex folder, or an empty real
// directory. Anything else is credentials still on disk.
bool credentialFoldersAbsent(const std::filesystem::path& folder) {
  struct stat info;
  if (lstat(folder.c_str(), &info) != 0) {
    if (errno == ENOENT) return true;
    throw CVError::storage();
  }
  if (!S_ISDIR(info.st_mode)) return false;
  std::error_code error;
  bool empty = std::filesystem::is_empty(folder, error);
  if (error) throw CVError::storage();
  return empty;
}

}  // namespace

void prepareRepair(const std::filesystem::path& directory, const std::function<Json()>& heartbeat,
                   const std::function<void()>& retirePairing) {
  DirectoryLock lock(directory);
  if (!lock.tryLock()) throw CVError::invalid(L10n::text("Stop the background service first"));

  Json response = heartbeat();
  const Json* revoked = member(response, "revoked");
  const Json* cleanupPending = member(response, "cleanupPending");
  if (!revoked || *revoked != true || !cleanupPending || *cleanupPending != false)
    throw CVError::invalid(L10n::text("The old device is not disabled or credential cleanup is unconfirmed"));

  struct stat info;
  std::filesystem::path record = directory / DataDirectory::pairingRecord;
  if (lstat(record.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) throw CVError::storage();

  if (!credentialFoldersAbsent(directory / DataDirectory::codexHomes))
    throw CVError::invalid(L10n::text("Local credential folders still need cleanup"));

  {
    // Opening the journal finishes an interrupted task with its restart
    // result, which then also has to be reported first.
    Journal journal(directory / DataDirectory::journal);
    if (!journal.pending().empty())
      throw CVError::invalid(L10n::text("Execution results are still waiting to be reported"));
  }

  retirePairing();
  std::error_code ignored;
  std::filesystem::remove(directory / DataDirectory::agentHealth, ignored);
}

CommandOutput prepareRepairCommand(const Options& options) {
  const std::filesystem::path& directory = options.dataDirectory;
  CoordinatorClient client = coordinator(directory);
  TokenVault vault(directory);
  std::optional<std::string> token = vault.get();
  if (!token) throw CVError::storage();

  prepareRepair(
      directory, [&] { return client.post("/v1/executor/heartbeat", retiringHeartbeat()); },
      [&] {
        vault.remove();
        std::error_code error;
        std::filesystem::remove(directory / DataDirectory::pairingRecord, error);
        if (error) {
          // Without the record the token is unreachable; without the token
          // the record is useless: put the token back so the pairing stays whole.
          vault.set(*token);
          throw CVError::storage();
        }
      });

  std::error_code error;
  std::filesystem::remove(directory / DataDirectory::signOutMarker, error);  // a missing marker is no error
  if (error) throw CVError::storage();
  return Json{{"readyToPair", true}};
}

}  // namespace corvane
