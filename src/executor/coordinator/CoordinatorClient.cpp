#include "executor/coordinator/CoordinatorClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <vector>

#include "executor/state/PairingRecord.h"
#include "executor/state/TokenVault.h"
#include "executor/support/CVError.h"
#include "localization/L10n.h"

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

  // Let libcurl judge the rest of the syntax (port range, host characters),
  // since it is libcurl that will connect.
  CURLU* url = curl_url();
  if (!url) throw CVError::invalid(L10n::text("Invalid path"));
  CURLUcode parsed = curl_url_set(url, CURLUPART_URL, origin.c_str(), CURLU_PATH_AS_IS);
  curl_url_cleanup(url);
  if (parsed != CURLUE_OK) throw originError();

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

// libcurl easy handles pooled per client. Each handle keeps its own
// connection, DNS and TLS session caches, and a request borrows one handle for
// itself, so no cache is ever touched by two threads at once (libcurl does not
// support sharing a connection cache between threads). A thread's next request
// takes the handle just given back, and with it the open connection.
class CoordinatorClient::Transport {
 public:
  // Idle handles kept for reuse: more than the agent's threads ever post at
  // once. A burst beyond it closes the extra handles as they come back.
  static constexpr size_t maximumIdleHandles = 16;

  Transport(std::optional<CoordinatorTestingConfiguration> testing, std::chrono::milliseconds callerWait)
      : testing_(std::move(testing)), callerWait_(callerWait) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  }

  ~Transport() {
    for (CURL* handle : idle_) curl_easy_cleanup(handle);
  }

  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  Json send(const std::string& url, const std::string& body, const std::optional<std::string>& token) {
    Lease lease(*this);
    CURL* handle = lease.handle;

    Response response;
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Accept: application/json");
    headers = curl_slist_append(headers, "Expect:");  // no 100-continue round trip
    std::string authorization;
    if (token) {
      authorization = "Authorization: Bearer " + *token;
      headers = curl_slist_append(headers, authorization.c_str());
    }

    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    // One origin per client: one connection per handle is all it reuses.
    curl_easy_setopt(handle, CURLOPT_MAXCONNECTS, 1L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    // A redirect is the coordinator's final answer, never followed.
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    // Always direct: an empty proxy turns off the environment's proxies too.
    curl_easy_setopt(handle, CURLOPT_PROXY, "");
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
    // The cookie engine stays off (no CURLOPT_COOKIEFILE); libcurl has no
    // response cache.
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(callerWait_.count()));
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, 10000L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, 10L);
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maximumResponseBytes));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (testing_) {
      curl_easy_setopt(handle, CURLOPT_CAINFO, testing_->certificateAuthorityFile.c_str());
      curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    }

    CURLcode result = curl_easy_perform(handle);
    curl_slist_free_all(headers);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);

    if (result == CURLE_OPERATION_TIMEDOUT) throw CVError::timeout();
    bool tooLarge = response.tooLarge || result == CURLE_FILESIZE_EXCEEDED;
    if (result != CURLE_OK && !tooLarge) throw CVError::network();
    if (status == 0) throw CVError::network();
    if (!isSuccess(status)) throw CVError::network(static_cast<int>(status));
    if (tooLarge) throw CVError::invalid(L10n::text("Response too large"));

    auto json = parseJSON(response.body);
    if (!json) throw CVError::invalid(L10n::text("Invalid JSON"));
    return object(*json);
  }

 private:
  struct Response {
    std::string body;
    bool tooLarge = false;
  };

  // A handle taken from the pool for one request and given back afterwards,
  // keeping its connection for the next request.
  struct Lease {
    explicit Lease(Transport& owner) : transport(owner) {
      {
        std::lock_guard lock(transport.poolMutex_);
        if (!transport.idle_.empty()) {
          handle = transport.idle_.back();
          transport.idle_.pop_back();
        }
      }
      if (handle)
        curl_easy_reset(handle);
      else
        handle = curl_easy_init();
      if (!handle) throw CVError::network();
    }
    ~Lease() {
      {
        std::lock_guard lock(transport.poolMutex_);
        if (transport.idle_.size() < maximumIdleHandles) {
          transport.idle_.push_back(handle);
          return;
        }
      }
      curl_easy_cleanup(handle);
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    Transport& transport;
    CURL* handle = nullptr;
  };

  static size_t collect(char* data, size_t size, size_t count, void* context) {
    auto* response = static_cast<Response*>(context);
    size_t bytes = size * count;
    if (response->body.size() + bytes > maximumResponseBytes) {
      response->tooLarge = true;
      return 0;  // ends the transfer
    }
    response->body.append(data, bytes);
    return bytes;
  }

  std::optional<CoordinatorTestingConfiguration> testing_;
  std::chrono::milliseconds callerWait_;
  std::mutex poolMutex_;
  std::vector<CURL*> idle_;
};

CoordinatorClient::CoordinatorClient(const std::string& origin, std::optional<std::string> token,
                                     bool developmentLoopback, std::optional<CoordinatorTestingConfiguration> testing,
                                     const platform::Clock& clock, std::chrono::milliseconds callerWait)
    : origin_(validatedOrigin(origin, developmentLoopback)),
      token_(std::move(token)),
      clock_(&clock),
      testing_(testing) {
  if (token_ && !isDeviceToken(*token_)) throw CVError::invalid(L10n::text("Invalid device token"));
  // libcurl reads a time-out of 0 as no limit at all.
  callerWait = std::max(callerWait, std::chrono::milliseconds(1));
  transport_ = std::make_unique<Transport>(std::move(testing), callerWait);
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
