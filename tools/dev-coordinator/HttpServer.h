#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "Router.h"

namespace corvane::devcoordinator {

class WakeSocket;

// The transport: one listening socket on 127.0.0.1, plain HTTP or HTTPS, with
// keep-alive. Every request is handed to dispatch, whose Reply it delivers
// (after a delay, held open, or dropped when a fault says so). This is where
// the WebSocket upgrade of the wake channel joins the same listener later.
//
// Runs entirely on the io_context's thread(s); dispatch is called there and
// must not block for long. The server must outlive the io_context's run().
class HttpServer {
 public:
  using Dispatch = std::function<Reply(const HttpRequest& request, const ConnectionInfo& connection)>;

  // Requests larger than this are answered 413 and the connection is closed.
  static constexpr size_t maximumRequestBody = 4 << 20;

  // tls null: plain HTTP.
  HttpServer(boost::asio::io_context& io, Dispatch dispatch, std::shared_ptr<boost::asio::ssl::context> tls = nullptr);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds 127.0.0.1:port (0 picks a free port), starts accepting and returns
  // the port. Throws boost::system::system_error when the port is taken.
  unsigned short listen(unsigned short port);

  // Hands WebSocket upgrades of path to hub once authorize, which also logs
  // them, lets them through (a Reply refuses one). Call before listen().
  using Authorize = std::function<std::optional<Reply>(const HttpRequest& request, const ConnectionInfo& connection)>;
  void upgradeWebSockets(std::string path, Authorize authorize, WakeSocket& hub);

  // Drops every connection a "hold" fault keeps open. Thread-safe.
  void releaseHeld();

  struct Shared;

 private:
  void accept();

  boost::asio::ip::tcp::acceptor acceptor_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace corvane::devcoordinator
