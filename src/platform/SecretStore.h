#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>

namespace corvane::platform {

// The store refused or could not be reached: no secret service on the session
// bus, a locked or missing default collection, or any error it reported.
// what() says which, for the log; callers turn it into their own error.
class SecretStoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The user's secret store (on Linux the Secret Service of the session bus).
// Items are found by their exact attributes. No operation ever asks the user
// anything: where the store would need a password or a confirmation, the
// operation fails with SecretStoreError instead. Thread-safe.
class SecretStore {
 public:
  using Attributes = std::map<std::string, std::string>;

  virtual ~SecretStore() = default;

  // The secret of the item with attributes; nothing when there is no such
  // item. SecretStoreError when the matching item is locked or its secret is
  // not UTF-8 text.
  virtual std::optional<std::string> get(const Attributes& attributes) = 0;

  // Stores secret under attributes, replacing the secret of an existing item
  // so that there is one item afterwards. New items go to the default
  // collection, which must exist and be unlocked.
  virtual void set(const Attributes& attributes, const std::string& label, const std::string& secret) = 0;

  // Deletes every item with attributes; no item is not an error.
  virtual void remove(const Attributes& attributes) = 0;

  // Returns when set(attributes, ...) could store a secret now without asking
  // the user: the store is reachable and the collection the secret would go
  // to (an existing item's, else the default one) exists and is unlocked.
  // SecretStoreError otherwise. Changes nothing; a caller about to spend
  // something it cannot get back checks first.
  virtual void checkWritable(const Attributes& attributes) = 0;
};

// The store of the user's session, shared by the whole process.
SecretStore& systemSecretStore();

}  // namespace corvane::platform
