#include "executor/state/TokenVault.h"

#include <openssl/evp.h>

#include "executor/support/CVError.h"
#include "executor/support/Paths.h"
#include "localization/L10n.h"
#include "platform/Log.h"

namespace corvane {

namespace {

std::string sha256Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr)) throw CVError::storage();
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += hex[digest[i] >> 4];
    text += hex[digest[i] & 0x0f];
  }
  return text;
}

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

}  // namespace corvane
