#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace corvane {

// The pairing record of a data directory, coordinator.json
// (DataDirectory::pairingRecord): which coordinator the directory is paired
// with and as which device. Its presence means the directory is paired; the
// device token is never in it (it is in the keyring, TokenVault). Written
// once by a pairing, read by every command that needs the paired
// coordinator and by the status the tray app shows.
//
// A plain value; the static operations hold no state and are thread-safe.
struct PairingRecord {
  std::string url;       // the coordinator's origin, without leading or trailing "/"
  std::string deviceId;  // as the coordinator gave it
  std::string email;     // of the account that paired the directory; "" when none was sent
  bool developmentLoopback = false;

  // Whether anything at all is at the record's place, a symbolic link
  // (dangling or not) or an unreadable file included: the directory is taken
  // either way, and a pairing must not replace it.
  static bool exists(const std::filesystem::path& directory);

  // Whether the record's place holds a symbolic link, which no reader
  // follows.
  static bool isSymbolicLink(const std::filesystem::path& directory);

  // The record, read defensively: nothing when the file is missing, a
  // symbolic link, not a regular file, larger than statusFileLimit,
  // unreadable or not a JSON object. A member that is absent or of another
  // type reads as "" (false for developmentLoopback); whether what is left
  // is usable is the caller's business.
  static std::optional<PairingRecord> read(const std::filesystem::path& directory);

  // Replaces the record with this one, atomically and privately
  // (atomicPrivateJSON): the object {"developmentLoopback", "deviceId",
  // "email", "url"}. CVError.storage when it cannot be written.
  void write(const std::filesystem::path& directory) const;

  friend bool operator==(const PairingRecord&, const PairingRecord&) = default;
};

}  // namespace corvane
