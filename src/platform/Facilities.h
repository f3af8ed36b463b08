#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/SecretStore.h"

namespace corvane::platform {

// The facilities that bring large libraries with them: HTTP (libcurl), the
// WebSocket (Boost.Beast over OpenSSL) and the user's secret store
// (libsecret), together several dozen shared libraries. The tool keeps them
// in a module of its bundle, loaded on first use, so that the commands that
// need none of them (app-status, which the tray app runs every 5 seconds)
// start without loading them. Tests link them into the program instead.

// One HTTP exchange as the wire saw it; what it means is the caller's.
struct HttpAnswer {
  enum class Outcome {
    answered,  // a complete answer within the limit
    noAnswer,  // no HTTP answer: refused, reset, TLS or protocol failure
    timedOut,  // callerWait passed first
    tooLarge,  // the body went past responseLimit
  };
  Outcome outcome = Outcome::noAnswer;
  int status = 0;  // the HTTP status when one arrived, else 0
  std::string body;
};

struct HttpSettings {
  // Trusted instead of the system's certificate authorities (tests).
  std::optional<std::filesystem::path> certificateAuthority;
  std::chrono::milliseconds callerWait{11000};  // at least 1 ms
  size_t responseLimit = 1048576;
};

// POSTs JSON over pooled connections: no proxy (the environment's
// included), no redirect followed, no cookies, http and https only, the
// peer's certificate and host name verified. Thread-safe.
class HttpConnections {
 public:
  virtual ~HttpConnections() = default;
  virtual HttpAnswer post(const std::string& url, const std::string& body,
                          const std::optional<std::string>& bearerToken) = 0;
};

// Where a WebSocket goes: ws, or wss verified against the system's trust
// (or certificateAuthority) and the host name.
struct WebSocketTarget {
  bool secure = false;
  std::string authority;  // the Host header
  std::string host;       // without brackets
  std::string port;
  std::string path;
  std::string bearerToken;
  std::optional<std::filesystem::path> certificateAuthority;
  size_t messageLimit = 65536;  // a longer message ends the connection
};

struct WebSocketTiming {
  double pingInterval = 15;  // a ping at once and then this often
  double deadAfter = 30;     // without a pong
  double poll = 1;           // how often whileActive is asked
};

struct WebSocketCallbacks {
  std::function<bool()> whileActive;
  std::function<void(std::string_view message)> onMessage;  // text or binary
  std::function<void(bool connected)> onConnectionChange;
};

class Facilities {
 public:
  virtual ~Facilities() = default;

  // Whether the HTTP library reads url as a URL it could connect to (port
  // range, host characters).
  virtual bool acceptsURL(const std::string& url) = 0;

  virtual std::unique_ptr<HttpConnections> httpConnections(const HttpSettings& settings) = 0;

  // One WebSocket connection, opened afresh and driven on the calling
  // thread until it breaks, goes deadAfter seconds without a pong or
  // whileActive() turns false; closed with 1001 (going away).
  // onConnectionChange(true) comes once, with the first pong, and (false)
  // once at the end. Returns whether a pong ever arrived. Never throws.
  virtual bool listen(const WebSocketTarget& target, const Clock& clock, const WebSocketTiming& timing,
                      const WebSocketCallbacks& callbacks) = 0;

  virtual SecretStore& secretStore() = 0;
};

// The process's facilities, loaded at the first call (thread-safe). When the
// module cannot be loaded, a stand-in after one log line saying why: every
// request gets no answer, no WebSocket connects, and the secret store fails
// with SecretStoreError, so each caller reports its usual error.
Facilities& facilities();

// Where facilities() comes from: defined by exactly one of the libraries
// corvane_facilities_linked (built into the program) and
// corvane_facilities_loaded (the bundle's module, for the tool). Nothing,
// with why filled in, when it cannot be had.
Facilities* loadFacilities(std::string& why);

}  // namespace corvane::platform
