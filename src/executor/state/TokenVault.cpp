#include "executor/state/TokenVault.h"

#include "executor/support/CVError.h"
#include "executor/support/Paths.h"
#include "executor/support/Sha256.h"
#include "localization/L10n.h"
#include "platform/Log.h"

namespace corvane {

namespace {

[[noreturn]] void storageFailure(const char* operation, const platform::SecretStoreError& error) {
  platform::Logger("executor").error(std::string("keyring ") + operation + " failed: " + error.what());
  throw CVError::storage();
}

}  // namespace

bool isDeviceToken(std::string_view token) {
  if (token.size() < 32) return false;
  for (unsigned char byte : token)
    if (byte < 0x21 || byte > 0x7e) return false;
  return true;
}

TokenVault::TokenVault(const std::filesystem::path& directory, platform::SecretStore& store)
    : directory_(standardized(directory)), account_(sha256Hex(directory_.string())), store_(store) {}

platform::SecretStore::Attributes TokenVault::query() const {
  return {{"service", std::string(service)}, {"account", account_}};
}

std::optional<std::string> TokenVault::get() const {
  try {
    return store_.get(query());
  } catch (const platform::SecretStoreError& error) {
    storageFailure("read", error);
  }
}

void TokenVault::set(const std::string& token) const {
  if (!isDeviceToken(token)) throw CVError::invalid(L10n::text("Invalid device token"));
  try {
    store_.set(query(), std::string(service) + " (" + directory_.string() + ")", token);
  } catch (const platform::SecretStoreError& error) {
    storageFailure("write", error);
  }
}

void TokenVault::remove() const {
  try {
    store_.remove(query());
  } catch (const platform::SecretStoreError& error) {
    storageFailure("delete", error);
  }
}

void TokenVault::checkWritable() const {
  try {
    store_.checkWritable(query());
  } catch (const platform::SecretStoreError& error) {
    storageFailure("check", error);
  }
}

}  // namespace corvane
