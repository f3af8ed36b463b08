#include "platform/Facilities.h"

#include "platform/Log.h"

namespace corvane::platform {

namespace {

class FailingSecretStore final : public SecretStore {
 public:
  std::optional<std::string> get(const Attributes&) override { fail(); }
  void set(const Attributes&, const std::string&, const std::string&) override { fail(); }
  void remove(const Attributes&) override { fail(); }
  void checkWritable(const Attributes&) override { fail(); }

 private:
  [[noreturn]] static void fail() { throw SecretStoreError("the keyring module is not available"); }
};

class NoConnections final : public HttpConnections {
 public:
  HttpAnswer post(const std::string&, const std::string&, const std::optional<std::string>&) override { return {}; }
};

// What a tool whose module is missing or broken still does: fail each
// request the way an unreachable service would.
class Unavailable final : public Facilities {
 public:
  // The module would judge the syntax; without it the request fails anyway.
  bool acceptsURL(const std::string&) override { return true; }
  std::unique_ptr<HttpConnections> httpConnections(const HttpSettings&) override {
    return std::make_unique<NoConnections>();
  }
  bool listen(const WebSocketTarget&, const Clock&, const WebSocketTiming&,
              const WebSocketCallbacks& callbacks) override {
    if (callbacks.onConnectionChange) callbacks.onConnectionChange(false);
    return false;
  }
  SecretStore& secretStore() override { return store_; }

 private:
  FailingSecretStore store_;
};

}  // namespace

Facilities& facilities() {
  static Facilities* const loaded = [] {
    std::string why;
    Facilities* found = loadFacilities(why);
    if (found) return found;
    Logger("executor").error("facilities unavailable: " + why);
    static Unavailable unavailable;
    return static_cast<Facilities*>(&unavailable);
  }();
  return *loaded;
}

SecretStore& systemSecretStore() { return facilities().secretStore(); }

}  // namespace corvane::platform
