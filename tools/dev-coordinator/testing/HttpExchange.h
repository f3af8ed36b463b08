#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace corvane::test {

// A bare HTTP/1.1 client for tests that need to send exactly the request they
// mean (any method, headers and body) and see exactly the answer, with none of
// the executor client's rules in the way. One connection per call.
struct HttpExchangeRequest {
  std::string method = "POST";
  std::string target = "/";
  std::vector<std::pair<std::string, std::string>> headers;  // sent as given; nothing added but Host and Content-Length
  std::string body;

  // A POST of body with "Content-Type: application/json".
  static HttpExchangeRequest json(std::string target, const nlohmann::json& body);
};

struct HttpExchangeResponse {
  unsigned status = 0;
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;

  // The body parsed; std::runtime_error when it is not JSON.
  nlohmann::json json() const;
  std::string header(const std::string& lowerCaseName) const;
};

struct HttpExchangeOptions {
  // HTTPS when set: the server must present a certificate chaining to this CA
  // and valid for host.
  std::optional<std::filesystem::path> caFile;
  double timeoutSeconds = 10;
};

// Thrown when no answer arrives within the timeout.
struct HttpExchangeTimeout : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Connects to host:port (a loopback name or address), sends request and reads
// the answer. std::runtime_error on a connection, TLS or protocol failure;
// HttpExchangeTimeout when the time is up.
HttpExchangeResponse httpExchange(const std::string& host, unsigned short port, const HttpExchangeRequest& request,
                                  const HttpExchangeOptions& options = {});

// Sends requests one after another over one keep-alive connection and returns
// the answers in order; fails as httpExchange does, also when the server closes
// the connection before the last answer.
std::vector<HttpExchangeResponse> httpExchanges(const std::string& host, unsigned short port,
                                                const std::vector<HttpExchangeRequest>& requests,
                                                const HttpExchangeOptions& options = {});

}  // namespace corvane::test
