// The Secret Service through libsecret. Every call is synchronous and none may
// open a prompt: searches never ask to unlock, and writes check first that
// their collection is unlocked, because an unlock or a new collection is where
// the service would ask the user for a password.

#include "platform/linux/facilities/Implementations.h"

#include <libsecret/secret.h>

#include <memory>
#include <mutex>

namespace corvane::platform {

namespace {

// Items carry this schema name so a keyring browser can tell whose they are;
// lookups match attributes only.
constexpr const char* schemaName = "com.corvane.macos";

struct TableDeleter {
  void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct ListDeleter {
  void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
struct ValueDeleter {
  void operator()(SecretValue* value) const { secret_value_unref(value); }
};
struct SchemaDeleter {
  void operator()(SecretSchema* schema) const { secret_schema_unref(schema); }
};
struct ObjectDeleter {
  void operator()(gpointer object) const { g_object_unref(object); }
};

using HashTable = std::unique_ptr<GHashTable, TableDeleter>;
using ItemList = std::unique_ptr<GList, ListDeleter>;
using Value = std::unique_ptr<SecretValue, ValueDeleter>;
using Schema = std::unique_ptr<SecretSchema, SchemaDeleter>;
template <typename T>
using Object = std::unique_ptr<T, ObjectDeleter>;

[[noreturn]] void fail(const std::string& what, GError* error) {
  std::string message = what;
  if (error) {
    message += ": ";
    message += error->message;
    g_error_free(error);
  }
  throw SecretStoreError(message);
}

HashTable attributeTable(const SecretStore::Attributes& attributes) {
  // The table borrows the strings of attributes, which outlive every call.
  HashTable table(g_hash_table_new(g_str_hash, g_str_equal));
  for (const auto& [name, value] : attributes)
    g_hash_table_insert(table.get(), const_cast<char*>(name.c_str()), const_cast<char*>(value.c_str()));
  return table;
}

class LibsecretStore : public SecretStore {
 public:
  std::optional<std::string> get(const Attributes& attributes) override {
    SecretService* service = connect();
    ItemList items = search(service, attributes, SECRET_SEARCH_LOAD_SECRETS);
    bool locked = false;
    for (GList* entry = items.get(); entry; entry = entry->next) {
      auto* item = static_cast<SecretItem*>(entry->data);
      if (secret_item_get_locked(item)) {
        locked = true;
        continue;
      }
      Value value(secret_item_get_secret(item));
      if (!value) fail("the secret of the item could not be loaded", nullptr);
      gsize length = 0;
      const gchar* bytes = secret_value_get(value.get(), &length);
      if (!bytes || !g_utf8_validate(bytes, static_cast<gssize>(length), nullptr))
        fail("the secret of the item is not text", nullptr);
      return std::string(bytes, length);
    }
    if (locked) fail("the item is in a locked collection", nullptr);
    return std::nullopt;
  }

  void set(const Attributes& attributes, const std::string& label, const std::string& secret) override {
    SecretService* service = connect();
    Value value(secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain"));
    ItemList items = search(service, attributes, SECRET_SEARCH_NONE);
    if (items) {
      auto* item = static_cast<SecretItem*>(items->data);
      if (secret_item_get_locked(item)) fail("the item is in a locked collection", nullptr);
      GError* error = nullptr;
      if (!secret_item_set_secret_sync(item, value.get(), nullptr, &error)) fail("updating the item failed", error);
      return;
    }

    Object<SecretCollection> collection = unlockedDefaultCollection(service);
    HashTable types(g_hash_table_new(g_str_hash, g_str_equal));
    for (const auto& entry : attributes)
      g_hash_table_insert(types.get(), const_cast<char*>(entry.first.c_str()),
                          GINT_TO_POINTER(SECRET_SCHEMA_ATTRIBUTE_STRING));
    Schema schema(secret_schema_newv(schemaName, SECRET_SCHEMA_DONT_MATCH_NAME, types.get()));
    HashTable table = attributeTable(attributes);
    GError* error = nullptr;
    Object<SecretItem> item(secret_item_create_sync(collection.get(), schema.get(), table.get(), label.c_str(),
                                                    value.get(), SECRET_ITEM_CREATE_REPLACE, nullptr, &error));
    if (!item) fail("creating the item failed", error);
  }

  void remove(const Attributes& attributes) override {
    SecretService* service = connect();
    ItemList items = search(service, attributes, SECRET_SEARCH_NONE);
    for (GList* entry = items.get(); entry; entry = entry->next) {
      GError* error = nullptr;
      if (!secret_item_delete_sync(static_cast<SecretItem*>(entry->data), nullptr, &error))
        fail("deleting the item failed", error);
    }
  }

  void checkWritable(const Attributes& attributes) override {
    SecretService* service = connect();
    ItemList items = search(service, attributes, SECRET_SEARCH_NONE);
    if (items) {
      // Asked of the service rather than read from the item's cached
      // properties, which may predate a lock: a locked item has no secret
      // to give.
      GError* error = nullptr;
      auto* item = static_cast<SecretItem*>(items->data);
      if (secret_item_get_locked(item) || !secret_item_load_secret_sync(item, nullptr, &error))
        fail("the item is in a locked collection", error);
      return;
    }
    unlockedDefaultCollection(service);
  }

 private:
  // Where new items go; opening or unlocking one would prompt, so a missing
  // or locked default collection is a failure.
  static Object<SecretCollection> unlockedDefaultCollection(SecretService* service) {
    GError* error = nullptr;
    Object<SecretCollection> collection(
        secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error));
    if (error) fail("the default collection could not be opened", error);
    if (!collection) fail("there is no default collection", nullptr);
    if (secret_collection_get_locked(collection.get())) fail("the default collection is locked", nullptr);
    return collection;
  }

  // The service proxy with an open session; libsecret keeps one per process.
  SecretService* connect() {
    std::lock_guard lock(mutex_);
    if (service_) return service_;
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    if (!service) fail("the Secret Service is not available", error);
    service_ = service;
    return service;
  }

  static ItemList search(SecretService* service, const Attributes& attributes, SecretSearchFlags load) {
    HashTable table = attributeTable(attributes);
    GError* error = nullptr;
    // No SECRET_SEARCH_UNLOCK: unlocking is what would prompt.
    GList* items = secret_service_search_sync(
        service, nullptr, table.get(), static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | load), nullptr, &error);
    if (error) fail("searching the Secret Service failed", error);
    return ItemList(items);
  }

  std::mutex mutex_;
  // Kept for the life of the process: releasing it during static destruction
  // would race GLib's own teardown.
  SecretService* service_ = nullptr;
};

}  // namespace

SecretStore& libsecretStore() {
  static LibsecretStore store;
  return store;
}

}  // namespace corvane::platform
