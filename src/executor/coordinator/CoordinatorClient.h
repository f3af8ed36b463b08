#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "executor/support/Json.h"
#include "platform/Clock.h"

namespace corvane {

// Transport settings only a test may choose, handed in by the test itself.
// Production code never builds one, so nothing in the environment can make a
// run trust another certificate.
struct CoordinatorTestingConfiguration {
  std::filesystem::path certificateAuthorityFile;  // PEM bundle trusted instead of the system's
};

// The wake channel's keep-alive: a ping at once and then every pingInterval
// seconds, the connection given up once no pong came for deadAfter seconds,
// and whileActive asked at least every poll seconds. Tests shorten them.
struct WakeTiming {
  double pingInterval = 15;
  double deadAfter = 30;
  double poll = 1;
};

// The executor's only door to the coordinator: JSON objects POSTed to a fixed
// set of paths under one origin. The origin must be https, or http on a
// loopback host when developmentLoopback is set. Requests never follow
// redirects (a 3xx is the answer), never use a proxy (environment proxies
// included), keep no cookies and no cache, and are bounded to 256 KiB out and
// 1 MiB in.
//
// Immutable after construction. post() may be called from several threads at
// once; connections are pooled and reused for the client's lifetime.
class CoordinatorClient {
 public:
  static constexpr size_t maximumRequestBytes = 262144;
  static constexpr size_t maximumResponseBytes = 1048576;
  // How long a caller waits for one answer before CVError.timeout, unless
  // the client is built with another wait.
  static constexpr std::chrono::milliseconds defaultCallerWait{11000};

  // CVError.invalid with the HTTPS message for an origin that is not a bare
  // scheme://host[:port][/] of an allowed kind, or "Invalid device token" for
  // a malformed token.
  //
  // callerWait bounds each post (at least a millisecond). clock is the
  // client's time for the wake channel's keep-alive; it must outlive the
  // client.
  CoordinatorClient(const std::string& origin, std::optional<std::string> token, bool developmentLoopback,
                    std::optional<CoordinatorTestingConfiguration> testing = std::nullopt,
                    const platform::Clock& clock = platform::systemClock(),
                    std::chrono::milliseconds callerWait = defaultCallerWait);
  ~CoordinatorClient();
  CoordinatorClient(CoordinatorClient&&) noexcept;
  CoordinatorClient& operator=(CoordinatorClient&&) noexcept;

  // The origin as given, without leading or trailing "/": what coordinator.json
  // records.
  const std::string& origin() const { return origin_; }
  bool hasToken() const { return token_.has_value(); }

  // Sends body to path and returns the answer object. Blocks the caller for
  // at most about the caller's wait (11 seconds unless built with another).
  // Fails with CVError.invalid for a path outside the coordinator's executor,
  // pairing and sign-in endpoints (nothing is sent), a body that is not
  // serializable or too large, or an answer that is too large or not a JSON
  // object; CVError.network(status) for any status outside 200-299;
  // CVError.network() when no HTTP answer arrived; CVError.timeout when the
  // answer did not arrive in time. The key "_resetDiagnostic" of body's
  // "data" object (and of "recoveryReport"'s "data") is local and never sent.
  Json post(std::string_view path, Json body) const;

  // The wake channel: one WebSocket connection to /v1/executor/wake (ws for
  // a loopback http origin, wss with certificate and host-name verification
  // for https), opened afresh by each call and kept until it breaks, goes
  // quiet for timing.deadAfter seconds without a pong, or whileActive() turns
  // false (asked about once every timing.poll seconds). A text or binary
  // message holding {"type": "wake"} calls onWake; everything else is
  // ignored. onConnectionChange(true) comes once, with the first pong, and
  // onConnectionChange(false) once as the call ends; every callback runs on
  // the calling thread. The socket is closed with 1001 (going away). Returns
  // whether a pong ever arrived; false at once without a token. Never throws.
  bool listenForWakes(const std::function<bool()>& whileActive, const std::function<void()>& onWake,
                      const std::function<void(bool)>& onConnectionChange, WakeTiming timing = {}) const;

 private:
  class Transport;

  std::string origin_;
  std::optional<std::string> token_;
  const platform::Clock* clock_;
  std::optional<CoordinatorTestingConfiguration> testing_;
  std::unique_ptr<Transport> transport_;
};

// Whether path is one the executor may call: /v1/executor/ followed by
// letters, digits, "_", "-" and "/", or one of the pairing and sign-in paths.
bool isCoordinatorPath(std::string_view path);

// The client of the paired data directory: the origin and development flag of
// its coordinator.json and the device token from the keyring.
// CVError.storage when coordinator.json is a symbolic link or the keyring
// fails; CVError.invalid "Pair with the iPhone app first" when the file is
// missing or not a JSON object, "Missing url", "Pairing credentials are missing
// from the keyring" when the keyring has no token.
CoordinatorClient coordinator(const std::filesystem::path& directory);

}  // namespace corvane
