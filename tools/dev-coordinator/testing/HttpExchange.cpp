#include "dev-coordinator/testing/HttpExchange.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <optional>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

namespace corvane::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

http::request<http::string_body> messageOf(const HttpExchangeRequest& request, const std::string& host,
                                           unsigned short port) {
  http::request<http::string_body> message;
  message.method_string(request.method);
  message.target(request.target);
  message.version(11);
  message.set(http::field::host, host + ":" + std::to_string(port));
  for (const auto& [name, value] : request.headers) message.insert(name, value);
  message.body() = request.body;
  message.prepare_payload();
  return message;
}

HttpExchangeResponse responseOf(const http::response<http::string_body>& answer) {
  HttpExchangeResponse response;
  response.status = answer.result_int();
  for (const auto& field : answer) {
    std::string name = lowercase(std::string(field.name_string()));
    auto& slot = response.headers[name];
    slot = slot.empty() ? std::string(field.value()) : slot + ", " + std::string(field.value());
  }
  response.body = answer.body();
  return response;
}

// Runs the exchanges as a chain of asynchronous steps on a private io_context
// so the whole of it, connection included, is bounded by one deadline. The
// requests go one after another over the one connection.
template <class Stream>
std::vector<HttpExchangeResponse> exchange(
    asio::io_context& io, Stream& stream, const std::string& host, unsigned short port,
    const std::vector<HttpExchangeRequest>& requests, double timeoutSeconds,
    const std::function<void(std::function<void(beast::error_code)>)>& handshake) {
  std::vector<HttpExchangeResponse> responses;
  http::request<http::string_body> message;
  beast::flat_buffer buffer;
  std::optional<http::response_parser<http::string_body>> parser;
  beast::error_code failure;
  std::string stage = "connect";

  std::function<void()> next = [&] {
    if (responses.size() == requests.size()) return void(stage = "done");
    message = messageOf(requests[responses.size()], host, port);
    parser.emplace();
    parser->body_limit(256 << 20);
    stage = "write";
    http::async_write(stream, message, [&](beast::error_code writeError, size_t) {
      if (writeError) return void(failure = writeError);
      stage = "read";
      http::async_read(stream, buffer, *parser, [&](beast::error_code readError, size_t) {
        if (readError) return void(failure = readError);
        responses.push_back(responseOf(parser->get()));
        next();
      });
    });
  };

  auto& lowest = beast::get_lowest_layer(stream);
  lowest.expires_after(std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000)));
  tcp::resolver resolver(io);
  auto endpoints = resolver.resolve(host, std::to_string(port));
  lowest.async_connect(endpoints, [&](beast::error_code error, const tcp::endpoint&) {
    if (error) return void(failure = error);
    stage = "handshake";
    handshake([&](beast::error_code handshakeError) {
      if (handshakeError) return void(failure = handshakeError);
      next();
    });
  });
  io.run();
  if (failure == beast::error::timeout)
    throw HttpExchangeTimeout("no answer from " + host + ":" + std::to_string(port) + " (" + stage + ")");
  if (failure || stage != "done")
    throw std::runtime_error("HTTP exchange failed at " + stage + ": " + failure.message());

  beast::error_code ignored;
  lowest.socket().shutdown(tcp::socket::shutdown_both, ignored);
  return responses;
}

}  // namespace

HttpExchangeRequest HttpExchangeRequest::json(std::string target, const nlohmann::json& body) {
  HttpExchangeRequest request;
  request.target = std::move(target);
  request.headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"}};
  request.body = body.dump();
  return request;
}

nlohmann::json HttpExchangeResponse::json() const {
  auto parsed = nlohmann::json::parse(body, nullptr, false);
  if (parsed.is_discarded()) throw std::runtime_error("answer is not JSON: " + body.substr(0, 200));
  return parsed;
}

std::string HttpExchangeResponse::header(const std::string& lowerCaseName) const {
  auto it = headers.find(lowerCaseName);
  return it == headers.end() ? "" : it->second;
}

HttpExchangeResponse httpExchange(const std::string& host, unsigned short port, const HttpExchangeRequest& request,
                                  const HttpExchangeOptions& options) {
  return httpExchanges(host, port, {request}, options).front();
}

std::vector<HttpExchangeResponse> httpExchanges(const std::string& host, unsigned short port,
                                                const std::vector<HttpExchangeRequest>& requests,
                                                const HttpExchangeOptions& options) {
  if (requests.empty()) return {};
  asio::io_context io;
  if (!options.caFile) {
    beast::tcp_stream stream(io);
    return exchange(io, stream, host, port, requests, options.timeoutSeconds,
                    [](std::function<void(beast::error_code)> done) { done({}); });
  }
  asio::ssl::context context(asio::ssl::context::tls_client);
  context.load_verify_file(options.caFile->string());
  context.set_verify_mode(asio::ssl::verify_peer);
  beast::ssl_stream<beast::tcp_stream> stream(io, context);
  // Checks the certificate's names against host, as any careful client does.
  X509_VERIFY_PARAM* parameters = SSL_get0_param(stream.native_handle());
  asio::ip::address address;
  beast::error_code notAddress;
  address = asio::ip::make_address(host, notAddress);
  if (notAddress) {
    X509_VERIFY_PARAM_set1_host(parameters, host.c_str(), 0);
    SSL_set_tlsext_host_name(stream.native_handle(), host.c_str());
  } else {
    X509_VERIFY_PARAM_set1_ip_asc(parameters, host.c_str());
  }
  return exchange(io, stream, host, port, requests, options.timeoutSeconds,
                  [&stream](std::function<void(beast::error_code)> done) {
                    stream.async_handshake(asio::ssl::stream_base::client, std::move(done));
                  });
}

}  // namespace corvane::test
