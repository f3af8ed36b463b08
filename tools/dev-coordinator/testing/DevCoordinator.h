#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace corvane::test {

struct DevCoordinatorOptions {
  // Extra command-line arguments (for instance fixed ports).
  std::vector<std::string> arguments;
  std::filesystem::path program = CORVANE_DEV_COORDINATOR_PATH;
  double startTimeoutSeconds = 20;
};

// A corvane-dev-coordinator child process for one test: started by the
// constructor (which returns once it listens), stopped by the destructor. Its
// standard input is a pipe held by this object, so the coordinator also ends
// when the test process dies. Its log goes to the test's standard error.
//
// Control calls throw std::runtime_error when the coordinator refuses them.
// Not thread-safe; use it from the test's thread.
class DevCoordinator {
 public:
  explicit DevCoordinator(DevCoordinatorOptions options = {});
  ~DevCoordinator();
  DevCoordinator(const DevCoordinator&) = delete;
  DevCoordinator& operator=(const DevCoordinator&) = delete;

  // "http://127.0.0.1:<port>" and "https://127.0.0.1:<port>" (the certificate
  // is also valid for "localhost" and "::1").
  std::string httpOrigin() const;
  std::string httpsOrigin() const;
  unsigned short httpPort() const { return httpPort_; }
  unsigned short httpsPort() const { return httpsPort_; }
  unsigned short controlPort() const { return controlPort_; }
  // The PEM certificate of the authority that signed the HTTPS certificate:
  // what a test client trusts. Exists while the coordinator runs.
  const std::filesystem::path& caFile() const { return caFile_; }
  pid_t pid() const { return pid_; }

  // POST /_control/<path> with body; returns the answer object.
  nlohmann::json control(std::string_view path, const nlohmann::json& body = nlohmann::json::object()) const;

  // A code for `pair`, as the phone app would show it. overrides may set
  // "deviceId", "token", "email" (null leaves "email" out of the answer) and
  // "lifetimeSeconds". Returns {"code", "deviceId", "token", "email", "expiresAt"}.
  nlohmann::json createPairingCode(const nlohmann::json& overrides = nlohmann::json::object()) const;
  // Approves a pending mac pairing (the newest, or overrides["id"]), handing out
  // the credentials in overrides or made-up ones. Returns {"id", "deviceId",
  // "token", "email", "name"}.
  nlohmann::json approveMacPairing(const nlohmann::json& overrides = nlohmann::json::object()) const;
  // Every mac pairing: [{"id", "code", "pollToken", "name", "status", "expiresAt", ...}].
  nlohmann::json macPairings() const;
  // The newest e-mail code sent to email; std::runtime_error when there is none.
  std::string emailCode(std::string_view email) const;
  // A user session token as e-mail verification would give one.
  std::string createSession(std::string_view email = "owner@example.com") const;
  // The requests received on the HTTP and HTTPS ports, oldest first, each
  // {"sequence", "scheme", "connection" (a number per accepted connection),
  // "method", "target", "path", "headers" (lower-case names), "headerList",
  // "body", "json", "status"}; only those for path when given.
  nlohmann::json requests(std::string_view path = "") const;
  // Adds a scripted fault (see README.md), e.g. {"path": "/v1/auth/logout", "status": 500}.
  void addFault(const nlohmann::json& fault) const;
  // Moves the expiry of everything of one kind into the past: "pairing-codes",
  // "mac-pairings", "email-challenges" or "all".
  void expire(std::string_view what = "all") const;
  // Changes limits (e.g. {"emailResendIntervalSeconds": 0}); returns them all.
  nlohmann::json settings(const nlohmann::json& changes = nlohmann::json::object()) const;
  // Forgets all state, faults and logged requests; drops held connections.
  void reset() const;

  // Stops the coordinator (closes its input; SIGTERM after 5 seconds, SIGKILL
  // after 15) and returns
  // its exit status (128 + signal when killed). Later calls return the same.
  int stop();

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int exitStatus_ = -1;
  unsigned short httpPort_ = 0;
  unsigned short httpsPort_ = 0;
  unsigned short controlPort_ = 0;
  std::filesystem::path caFile_;
};

}  // namespace corvane::test
