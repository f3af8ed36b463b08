#include "platform/linux/facilities/Implementations.h"

namespace corvane::platform {

namespace {

class ModuleFacilities final : public Facilities {
 public:
  bool acceptsURL(const std::string& url) override { return curlAcceptsURL(url); }
  std::unique_ptr<HttpConnections> httpConnections(const HttpSettings& settings) override {
    return curlConnections(settings);
  }
  bool listen(const WebSocketTarget& target, const Clock& clock, const WebSocketTiming& timing,
              const WebSocketCallbacks& callbacks) override {
    return beastListen(target, clock, timing, callbacks);
  }
  SecretStore& secretStore() override { return libsecretStore(); }
};

}  // namespace

}  // namespace corvane::platform

extern "C" corvane::platform::Facilities* corvaneFacilities() {
  static corvane::platform::ModuleFacilities facilities;
  return &facilities;
}
