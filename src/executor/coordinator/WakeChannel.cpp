// The wake channel of CoordinatorClient: a WebSocket of the platform's
// facilities to the coordinator's wake path.

#include <optional>
#include <string>

#include "executor/coordinator/CoordinatorClient.h"
#include "platform/Facilities.h"

namespace corvane {

namespace {

constexpr const char* wakePath = "/v1/executor/wake";
// Wake messages are a few bytes; anything much larger is not one.
constexpr size_t maximumMessageBytes = 65536;

// The origin was validated at construction: "http[s]://host[:port]".
std::optional<platform::WebSocketTarget> wakeAddress(const std::string& origin) {
  platform::WebSocketTarget address;
  address.secure = origin.starts_with("https://");
  if (!address.secure && !origin.starts_with("http://")) return std::nullopt;
  address.authority = origin.substr(address.secure ? 8 : 7);
  std::string rest;
  if (address.authority.starts_with('[')) {
    size_t close = address.authority.find(']');
    if (close == std::string::npos) return std::nullopt;
    address.host = address.authority.substr(1, close - 1);
    rest = address.authority.substr(close + 1);
  } else {
    size_t colon = address.authority.find(':');
    address.host = address.authority.substr(0, colon);
    if (colon != std::string::npos) rest = address.authority.substr(colon);
  }
  if (rest.starts_with(':')) address.port = rest.substr(1);
  if (address.port.empty()) address.port = address.secure ? "443" : "80";
  if (address.host.empty()) return std::nullopt;
  return address;
}

}  // namespace

bool CoordinatorClient::listenForWakes(const std::function<bool()>& whileActive, const std::function<void()>& onWake,
                                       const std::function<void(bool)>& onConnectionChange, WakeTiming timing) const {
  if (!token_) return false;
  auto target = wakeAddress(origin_);
  if (!target) return false;
  target->path = wakePath;
  target->bearerToken = *token_;
  if (testing_) target->certificateAuthority = testing_->certificateAuthorityFile;
  target->messageLimit = maximumMessageBytes;
  platform::WebSocketCallbacks callbacks{.whileActive = whileActive,
                                         .onMessage =
                                             [&](std::string_view text) {
                                               auto message = parseJSON(text);
                                               const Json* type = message ? member(*message, "type") : nullptr;
                                               if (type && type->is_string() && type->get<std::string>() == "wake")
                                                 onWake();
                                             },
                                         .onConnectionChange = onConnectionChange};
  return platform::facilities().listen(
      *target, *clock_, {.pingInterval = timing.pingInterval, .deadAfter = timing.deadAfter, .poll = timing.poll},
      callbacks);
}

}  // namespace corvane
