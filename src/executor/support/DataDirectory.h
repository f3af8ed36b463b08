#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace corvane {

// The names of every entry of the data directory, each written here and
// nowhere else, so that the programs and the parts of one program that share
// a file cannot drift apart on its name. The names are what other processes
// (the tray app, an older or newer executor) find on disk; changing one
// changes a contract.
class DataDirectory {
 public:
  // The pairing record; its presence means the directory is paired.
  static constexpr std::string_view pairingRecord = "coordinator.json";
  // Asks the running executor to sign the device out.
  static constexpr std::string_view signOutMarker = "sign-out.json";
  // Never written: its presence marks a directory of an older local
  // development setup, which pairing and the executor refuse.
  static constexpr std::string_view legacyState = "state.sqlite3";
  // The executor's SQLite journal.
  static constexpr std::string_view journal = "agent.sqlite3";
  static constexpr std::string_view agentHealth = "agent-health.json";
  static constexpr std::string_view updatePreparation = "update-preparation.json";
  // The advisory lock of the one process that may work on the directory.
  static constexpr std::string_view executorLock = "executor.lock";
  // A folder of <login id>.json, the sign-ins waiting for the user.
  static constexpr std::string_view pendingLogins = "pending-logins";
  // A folder of <account id>/, one private Codex home per ChatGPT account.
  static constexpr std::string_view codexHomes = "codex";
  static constexpr std::string_view codexDiagnostics = "codex-diagnostics.json";
  static constexpr std::string_view supportDiagnostics = "support-diagnostics.json";
  static constexpr std::string_view supportDiagnosticsLock = "support-diagnostics.lock";
  static constexpr std::string_view supportUploadLock = "support-upload.lock";

  // directory/pending-logins/<loginId>.json; nothing when loginId is not an
  // identifier (isIdentifier), so that no id from outside can name a path
  // elsewhere.
  static std::optional<std::filesystem::path> pendingLogin(const std::filesystem::path& directory,
                                                           std::string_view loginId);

  // directory/codex/<accountId>; nothing when accountId is not an identifier.
  static std::optional<std::filesystem::path> codexHome(const std::filesystem::path& directory,
                                                        std::string_view accountId);
};

}  // namespace corvane
