#include "executor/state/TokenVault.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <string>
#include <vector>

#include "executor/support/CVError.h"
#include "support/TemporaryDirectory.h"
#include "support/TestKeyring.h"

namespace corvane {
namespace {

const auto* keyring = ::testing::AddGlobalTestEnvironment(new test::KeyringEnvironment);

const std::string tokenA = "tok_AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
const std::string tokenB = "tok_BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB";

// The secrets of the items carrying exactly these attributes, read with
// libsecret directly so the test does not trust the code under test.
std::vector<std::string> keyringItems(const std::string& service, const std::string& account) {
  GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
  g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(service.c_str()));
  g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(account.c_str()));
  GError* error = nullptr;
  GList* items = secret_service_search_sync(
      nullptr, nullptr, attributes, static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS),
      nullptr, &error);
  g_hash_table_unref(attributes);
  if (error) {
    ADD_FAILURE() << error->message;
    g_error_free(error);
  }
  std::vector<std::string> secrets;
  for (GList* entry = items; entry; entry = entry->next) {
    SecretValue* value = secret_item_get_secret(static_cast<SecretItem*>(entry->data));
    secrets.push_back(value ? secret_value_get_text(value) : "");
    if (value) secret_value_unref(value);
  }
  g_list_free_full(items, g_object_unref);
  return secrets;
}

void lockDefaultCollection() {
  GError* error = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &error);
  ASSERT_NE(service, nullptr);
  SecretCollection* collection =
      secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
  ASSERT_NE(collection, nullptr);
  GList* objects = g_list_append(nullptr, collection);
  ASSERT_GE(secret_service_lock_sync(service, objects, nullptr, nullptr, &error), 1);
  g_list_free(objects);
  ASSERT_TRUE(secret_collection_get_locked(collection));
  g_object_unref(collection);
  g_object_unref(service);
}

TEST(TokenVaultTest, AccountIsTheSha256OfThePathAsGiven) {
  EXPECT_EQ(TokenVault("/tmp/corvane-vault").account(),
            "57c1b3733fc766a6283b624e740bfe92f2000f0bf434ab2ee5c8cb4102d5d5e8");
  EXPECT_EQ(TokenVault("/tmp/./corvane-vault/").account(), TokenVault("/tmp/corvane-vault").account());

  test::TemporaryDirectory temporary;
  std::filesystem::create_directory(temporary / "real");
  std::filesystem::create_directory_symlink(temporary / "real", temporary / "link");
  EXPECT_NE(TokenVault(temporary / "link").account(), TokenVault(temporary / "real").account());
}

TEST(TokenVaultTest, StoresOneItemPerDirectoryAndReplacesIt) {
  test::TemporaryDirectory one, two;
  TokenVault vault(one.path());
  EXPECT_EQ(vault.get(), std::nullopt);
  EXPECT_NO_THROW(vault.checkWritable());

  vault.set(tokenA);
  EXPECT_EQ(vault.get(), tokenA);
  vault.set(tokenB);
  EXPECT_EQ(vault.get(), tokenB);
  EXPECT_EQ(keyringItems("Corvane Executor", vault.account()), std::vector<std::string>{tokenB});

  TokenVault other(two.path());
  EXPECT_EQ(other.get(), std::nullopt);
  other.set(tokenA);
  EXPECT_EQ(vault.get(), tokenB);

  vault.remove();
  EXPECT_EQ(vault.get(), std::nullopt);
  EXPECT_TRUE(keyringItems("Corvane Executor", vault.account()).empty());
  vault.remove();  // nothing left to delete is fine
  EXPECT_EQ(other.get(), tokenA);
}

TEST(TokenVaultTest, RefusesMalformedTokensBeforeTouchingTheKeyring) {
  test::TemporaryDirectory directory;
  TokenVault vault(directory.path());
  EXPECT_NO_THROW(vault.set(std::string(32, '!')));
  EXPECT_NO_THROW(vault.set(std::string(32, '~')));
  vault.remove();

  const std::vector<std::string> malformed = {
      std::string(31, 'a'),                                // too short
      std::string(20, 'a') + "\t" + std::string(20, 'a'),  // control character
      std::string(20, 'a') + " " + std::string(20, 'a'),   // space
      std::string(32, 'a') + "\xc3\xa9",                   // non-ASCII
      std::string(32, 'a') + "\x7f",                       // DEL
      "",
  };
  for (const auto& token : malformed) {
    SCOPED_TRACE(token);
    try {
      vault.set(token);
      ADD_FAILURE() << "stored a malformed token";
    } catch (const CVError& error) {
      EXPECT_EQ(error, CVError::invalid("Invalid device token"));
    }
    EXPECT_EQ(vault.get(), std::nullopt);
  }
}

TEST(TokenVaultTest, LockedKeyringIsStorageFailureNotAPrompt) {
  test::TemporaryDirectory directory;
  TokenVault vault(directory.path());
  vault.set(tokenA);
  lockDefaultCollection();

  for (auto operation : {+[](const TokenVault& v) { (void)v.get(); }, +[](const TokenVault& v) { v.set(tokenB); },
                         +[](const TokenVault& v) { v.remove(); }, +[](const TokenVault& v) { v.checkWritable(); }}) {
    try {
      operation(vault);
      ADD_FAILURE() << "a locked keyring was used";
    } catch (const CVError& error) {
      EXPECT_EQ(error.kind(), CVError::Kind::storage);
      EXPECT_STREQ(error.what(), "Local secure storage is unavailable");
    }
  }
  // A directory without an item must not get one in a locked keyring either.
  test::TemporaryDirectory fresh;
  EXPECT_THROW(TokenVault(fresh.path()).checkWritable(), CVError);
  EXPECT_THROW(TokenVault(fresh.path()).set(tokenB), CVError);
}

}  // namespace
}  // namespace corvane
