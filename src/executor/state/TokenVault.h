#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/SecretStore.h"

namespace corvane {

// A device token the coordinator may have issued: at least 32 bytes, each a
// printable ASCII character other than space (0x21 to 0x7E).
bool isDeviceToken(std::string_view token);

// The device token of one data directory, kept in the user's keyring as one
// item with service "Corvane Executor" and account the lower-case hexadecimal
// SHA-256 of the directory's path. The path is used as given (standardized,
// not resolved through links): callers pass the canonical directory.
//
// Every keyring failure, a locked keyring or one that would have to ask the
// user included, is CVError.storage; the detail goes to the log. The vault
// holds no lock: the keyring serializes item operations.
class TokenVault {
 public:
  static constexpr std::string_view service = "Corvane Executor";

  explicit TokenVault(const std::filesystem::path& directory,
                      platform::SecretStore& store = platform::systemSecretStore());

  const std::string& account() const { return account_; }
  // The attributes every operation matches.
  platform::SecretStore::Attributes query() const;

  // The stored token; nothing when the directory has none.
  std::optional<std::string> get() const;

  // Stores token, replacing a token stored before. CVError.invalid "Invalid
  // device token" for a malformed token, before the keyring is touched.
  void set(const std::string& token) const;

  // Deletes the item; succeeds when there is none.
  void remove() const;

  // Returns when set() could store a token now: the keyring is reachable and
  // unlocked where the token would go. CVError.storage otherwise. Pairing
  // checks this before it spends a one-time code on the coordinator.
  void checkWritable() const;

 private:
  std::filesystem::path directory_;
  std::string account_;
  platform::SecretStore& store_;
};

}  // namespace corvane
