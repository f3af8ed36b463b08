#include "executor/coordinator/CoordinatorClient.h"

#include <algorithm>
#include <array>

#include "executor/state/PairingRecord.h"
#include "executor/state/TokenVault.h"
#include "executor/support/CVError.h"
#include "localization/L10n.h"
#include "platform/Facilities.h"

namespace corvane {

namespace {

constexpr std::array<std::string_view, 6> otherPaths = {"/v1/mac-pairings/start",   "/v1/mac-pairings/poll",
                                                        "/v1/mac-pairings/confirm", "/v1/auth/email/start",
                                                        "/v1/auth/email/verify",    "/v1/auth/logout"};

constexpr std::array<std::string_view, 3> loopbackHosts = {"localhost", "127.0.0.1", "::1"};

CVError originError() {
  return CVError::invalid(L10n::text(
      "The coordinator requires an HTTPS origin; HTTP loopback is allowed only in explicit local development mode"));
}

// Checks origin and returns it without leading and trailing "/". Only
// scheme://host[:port] with an optional "/" passes; the host is judged as
// written, so "127.1" or "LOCALHOST" is not a loopback host.
std::string validatedOrigin(const std::string& origin, bool developmentLoopback) {
  for (unsigned char byte : origin)
    if (byte < 33) throw originError();

  std::string_view rest = origin;
  bool https = rest.starts_with("https://");
  bool http = rest.starts_with("http://");
  if (!https && !http) throw originError();
  rest.remove_prefix(https ? 8 : 7);

  size_t end = rest.find('/');
  std::string_view authority = rest.substr(0, end);
  std::string_view path = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  if (!path.empty() && path != "/") throw originError();
  if (authority.empty() || authority.find_first_of("@?#") != std::string_view::npos) throw originError();

  std::string_view host = authority;
  if (host.starts_with('[')) {
    size_t close = host.find(']');
    if (close == std::string_view::npos) throw originError();
    host = host.substr(1, close - 1);
  } else {
    host = host.substr(0, host.find(':'));
  }
  if (host.empty()) throw originError();

  // Let the HTTP library judge the rest of the syntax (port range, host
  // characters), since it is what will connect.
  if (!platform::facilities().acceptsURL(origin)) throw originError();

  if (http) {
    bool loopback = false;
    for (auto name : loopbackHosts) loopback = loopback || host == name;
    if (!developmentLoopback || !loopback) throw originError();
  }

  std::string trimmed = origin;
  while (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
  return trimmed;
}

// Local-only diagnostic data that quota reports carry and never send.
void stripLocalDiagnostics(Json& body) {
  if (!body.is_object()) return;
  auto data = body.find("data");
  if (data != body.end() && data->is_object()) data->erase("_resetDiagnostic");
  auto report = body.find("recoveryReport");
  if (report != body.end() && report->is_object()) {
    auto inner = report->find("data");
    if (inner != report->end() && inner->is_object()) inner->erase("_resetDiagnostic");
  }
}

bool isSuccess(long status) { return status >= 200 && status <= 299; }

}  // namespace

bool isCoordinatorPath(std::string_view path) {
  for (auto allowed : otherPaths)
    if (path == allowed) return true;
  constexpr std::string_view prefix = "/v1/executor/";
  if (!path.starts_with(prefix) || path.size() == prefix.size()) return false;
  for (char c : path.substr(prefix.size())) {
    bool allowed =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '/' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

// The client's connections, on the platform's HTTP facility, and what its
// answers mean to a caller.
class CoordinatorClient::Transport {
 public:
  Transport(const std::optional<CoordinatorTestingConfiguration>& testing, std::chrono::milliseconds callerWait) {
    platform::HttpSettings settings;
    if (testing) settings.certificateAuthority = testing->certificateAuthorityFile;
    settings.callerWait = callerWait;
    settings.responseLimit = maximumResponseBytes;
    connections_ = platform::facilities().httpConnections(settings);
  }

  Json send(const std::string& url, const std::string& body, const std::optional<std::string>& token) {
    platform::HttpAnswer answer = connections_->post(url, body, token);
    using Outcome = platform::HttpAnswer::Outcome;
    if (answer.outcome == Outcome::timedOut) throw CVError::timeout();
    if (answer.outcome == Outcome::noAnswer || answer.status == 0) throw CVError::network();
    if (!isSuccess(answer.status)) throw CVError::network(answer.status);
    if (answer.outcome == Outcome::tooLarge) throw CVError::invalid(L10n::text("Response too large"));
    auto json = parseJSON(answer.body);
    if (!json) throw CVError::invalid(L10n::text("Invalid JSON"));
    return object(*json);
  }

 private:
  std::unique_ptr<platform::HttpConnections> connections_;
};

CoordinatorClient::CoordinatorClient(const std::string& origin, std::optional<std::string> token,
                                     bool developmentLoopback, std::optional<CoordinatorTestingConfiguration> testing,
                                     const platform::Clock& clock, std::chrono::milliseconds callerWait)
    : origin_(validatedOrigin(origin, developmentLoopback)),
      token_(std::move(token)),
      clock_(&clock),
      testing_(testing) {
  if (token_ && !isDeviceToken(*token_)) throw CVError::invalid(L10n::text("Invalid device token"));
  transport_ = std::make_unique<Transport>(testing, std::max(callerWait, std::chrono::milliseconds(1)));
}

CoordinatorClient::~CoordinatorClient() = default;
CoordinatorClient::CoordinatorClient(CoordinatorClient&&) noexcept = default;
CoordinatorClient& CoordinatorClient::operator=(CoordinatorClient&&) noexcept = default;

Json CoordinatorClient::post(std::string_view path, Json body) const {
  if (!isCoordinatorPath(path)) throw CVError::invalid(L10n::text("Unsupported coordinator path"));
  stripLocalDiagnostics(body);
  if (!body.is_object()) throw CVError::invalid(L10n::text("Invalid JSON"));
  std::string bytes = compactJSON(body);
  if (bytes.size() > maximumRequestBytes) throw CVError::invalid(L10n::text("Request too large"));
  // The path is a checked absolute path, so appending it is resolving it.
  return transport_->send(origin_ + std::string(path), bytes, token_);
}

CoordinatorClient coordinator(const std::filesystem::path& directory) {
  // A planted link is an attack on the directory, not a missing pairing.
  if (PairingRecord::isSymbolicLink(directory)) throw CVError::storage();
  auto record = PairingRecord::read(directory);
  if (!record) throw CVError::invalid(L10n::text("Pair with the iPhone app first"));

  auto token = TokenVault(directory).get();
  if (!token) throw CVError::invalid(L10n::text("Pairing credentials are missing from the keyring"));

  if (record->url.empty()) throw CVError::invalid(L10n::text("Missing %1$@", "url"));
  return CoordinatorClient(record->url, token, record->developmentLoopback);
}

}  // namespace corvane
