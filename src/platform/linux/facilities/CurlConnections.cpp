// HTTP on libcurl.

#include <curl/curl.h>

#include <mutex>
#include <vector>

#include "platform/linux/facilities/Implementations.h"

namespace corvane::platform {

namespace {

void initializeOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// libcurl easy handles pooled per set of connections. Each handle keeps its
// own connection, DNS and TLS session caches, and a request borrows one
// handle for itself, so no cache is ever touched by two threads at once
// (libcurl does not support sharing a connection cache between threads). A
// thread's next request takes the handle just given back, and with it the
// open connection.
class CurlConnections final : public HttpConnections {
 public:
  // Idle handles kept for reuse: more than the agent's threads ever post at
  // once. A burst beyond it closes the extra handles as they come back.
  static constexpr size_t maximumIdleHandles = 16;

  explicit CurlConnections(const HttpSettings& settings) : settings_(settings) {
    initializeOnce();
    // libcurl reads a time-out of 0 as no limit at all.
    settings_.callerWait = std::max(settings_.callerWait, std::chrono::milliseconds(1));
  }

  ~CurlConnections() override {
    for (CURL* handle : idle_) curl_easy_cleanup(handle);
  }

  CurlConnections(const CurlConnections&) = delete;
  CurlConnections& operator=(const CurlConnections&) = delete;

  HttpAnswer post(const std::string& url, const std::string& body,
                  const std::optional<std::string>& bearerToken) override {
    Lease lease(*this);
    CURL* handle = lease.handle;
    if (!handle) return {};

    Response response;
    response.limit = settings_.responseLimit;
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Accept: application/json");
    headers = curl_slist_append(headers, "Expect:");  // no 100-continue round trip
    std::string authorization;
    if (bearerToken) {
      authorization = "Authorization: Bearer " + *bearerToken;
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
    // A redirect is the final answer, never followed.
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    // Always direct: an empty proxy turns off the environment's proxies too.
    curl_easy_setopt(handle, CURLOPT_PROXY, "");
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
    // The cookie engine stays off (no CURLOPT_COOKIEFILE); libcurl has no
    // response cache.
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(settings_.callerWait.count()));
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, 10000L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, 10L);
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(settings_.responseLimit));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (settings_.certificateAuthority) {
      curl_easy_setopt(handle, CURLOPT_CAINFO, settings_.certificateAuthority->c_str());
      curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    }

    CURLcode result = curl_easy_perform(handle);
    curl_slist_free_all(headers);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);

    HttpAnswer answer;
    answer.status = static_cast<int>(status);
    if (result == CURLE_OPERATION_TIMEDOUT)
      answer.outcome = HttpAnswer::Outcome::timedOut;
    else if (response.tooLarge || result == CURLE_FILESIZE_EXCEEDED)
      answer.outcome = status == 0 ? HttpAnswer::Outcome::noAnswer : HttpAnswer::Outcome::tooLarge;
    else if (result != CURLE_OK || status == 0)
      answer.outcome = HttpAnswer::Outcome::noAnswer;
    else {
      answer.outcome = HttpAnswer::Outcome::answered;
      answer.body = std::move(response.body);
    }
    return answer;
  }

 private:
  struct Response {
    size_t limit = 0;
    std::string body;
    bool tooLarge = false;
  };

  // A handle taken from the pool for one request and given back afterwards,
  // keeping its connection for the next request.
  struct Lease {
    explicit Lease(CurlConnections& owner) : pool(owner) {
      {
        std::lock_guard lock(pool.poolMutex_);
        if (!pool.idle_.empty()) {
          handle = pool.idle_.back();
          pool.idle_.pop_back();
        }
      }
      if (handle)
        curl_easy_reset(handle);
      else
        handle = curl_easy_init();
    }
    ~Lease() {
      if (!handle) return;
      {
        std::lock_guard lock(pool.poolMutex_);
        if (pool.idle_.size() < maximumIdleHandles) {
          pool.idle_.push_back(handle);
          return;
        }
      }
      curl_easy_cleanup(handle);
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    CurlConnections& pool;
    CURL* handle = nullptr;
  };

  static size_t collect(char* data, size_t size, size_t count, void* context) {
    auto* response = static_cast<Response*>(context);
    size_t bytes = size * count;
    if (response->body.size() + bytes > response->limit) {
      response->tooLarge = true;
      return 0;  // ends the transfer
    }
    response->body.append(data, bytes);
    return bytes;
  }

  HttpSettings settings_;
  std::mutex poolMutex_;
  std::vector<CURL*> idle_;
};

}  // namespace

bool curlAcceptsURL(const std::string& url) {
  initializeOnce();
  CURLU* parsed = curl_url();
  if (!parsed) return false;
  CURLUcode result = curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_PATH_AS_IS);
  curl_url_cleanup(parsed);
  return result == CURLUE_OK;
}

std::unique_ptr<HttpConnections> curlConnections(const HttpSettings& settings) {
  return std::make_unique<CurlConnections>(settings);
}

}  // namespace corvane::platform
