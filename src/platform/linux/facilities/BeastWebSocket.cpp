// A WebSocket on Boost.Beast: one connection per call, driven on the calling
// thread by a private io_context.

#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "platform/linux/facilities/Implementations.h"

namespace corvane::platform {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

bool isAddressLiteral(const std::string& host) {
  boost::system::error_code error;
  asio::ip::make_address(host, error);
  return !error;
}

std::chrono::microseconds micro(double seconds) {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::duration<double>(std::max(seconds, 0.0)));
}

// One connection from opening to closing. Every handler runs inside
// io.run_for on the calling thread, so the state needs no lock; `finished`
// keeps a late pong from reporting a connection once the call has ended.
template <class Stream>
class Connection {
 public:
  Connection(asio::io_context& io, Stream& ws, const WebSocketTarget& address, const Clock& clock,
             const WebSocketTiming& timing, const WebSocketCallbacks& callbacks)
      : io_(io), ws_(ws), address_(address), clock_(clock), timing_(timing), callbacks_(callbacks), resolver_(io) {}

  bool run() {
    double start = clock_.continuousSeconds();
    lastPong_ = start;
    nextPing_ = start;
    open();

    while (callbacks_.whileActive()) {
      double now = clock_.continuousSeconds();
      if (failed_ || ended_ || now - lastPong_ >= timing_.deadAfter) break;
      if (established_ && !pinging_ && now >= nextPing_) {
        nextPing_ = now + timing_.pingInterval;
        pinging_ = true;
        ws_.async_ping({}, [this](beast::error_code error) {
          pinging_ = false;
          if (error && !finished_) failed_ = true;
        });
      }
      double step = std::min(timing_.poll, timing_.deadAfter - (now - lastPong_));
      if (established_) step = std::min(step, std::max(nextPing_ - now, 0.0));
      io_.run_for(micro(std::max(step, 0.001)));
      if (io_.stopped()) io_.restart();
    }

    bool connected = connected_;
    finished_ = true;
    callbacks_.onConnectionChange(false);
    close();
    return connected;
  }

 private:
  void open() {
    resolver_.async_resolve(address_.host, address_.port,
                            [this](beast::error_code error, const tcp::resolver::results_type& results) {
                              if (error) return end();
                              beast::get_lowest_layer(ws_).async_connect(
                                  results, [this](beast::error_code connectError, const tcp::endpoint&) {
                                    if (connectError) return end();
                                    secureThenUpgrade();
                                  });
                            });
  }

  void secureThenUpgrade() {
    if constexpr (std::is_same_v<Stream, websocket::stream<beast::ssl_stream<beast::tcp_stream>>>) {
      auto& tls = ws_.next_layer();
      if (!isAddressLiteral(address_.host)) SSL_set_tlsext_host_name(tls.native_handle(), address_.host.c_str());
      tls.set_verify_mode(asio::ssl::verify_peer);
      tls.set_verify_callback(asio::ssl::host_name_verification(address_.host));
      tls.async_handshake(asio::ssl::stream_base::client, [this](beast::error_code error) {
        if (error) return end();
        upgrade();
      });
    } else {
      upgrade();
    }
  }

  void upgrade() {
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeout{};
    timeout.handshake_timeout = std::chrono::seconds(10);
    timeout.idle_timeout = websocket::stream_base::none();
    timeout.keep_alive_pings = false;
    ws_.set_option(timeout);
    ws_.read_message_max(address_.messageLimit);
    std::string authorization = "Bearer " + address_.bearerToken;
    ws_.set_option(websocket::stream_base::decorator([authorization](websocket::request_type& request) {
      request.set(beast::http::field::authorization, authorization);
      request.set(beast::http::field::user_agent, "corvane-mac");
    }));
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
      if (kind != websocket::frame_type::pong || finished_) return;
      lastPong_ = clock_.continuousSeconds();
      if (!connected_) {
        connected_ = true;
        callbacks_.onConnectionChange(true);
      }
    });
    ws_.async_handshake(address_.authority, address_.path, [this](beast::error_code error) {
      if (error) return end();
      established_ = true;
      read();
    });
  }

  void read() {
    ws_.async_read(buffer_, [this](beast::error_code error, size_t) {
      if (error) return end();
      if (!finished_) callbacks_.onMessage(beast::buffers_to_string(buffer_.data()));
      buffer_.consume(buffer_.size());
      read();
    });
  }

  void end() { ended_ = true; }

  // A close frame with 1001 when the socket is open, given about a second to
  // be answered; then everything still pending is cut off.
  void close() {
    if (established_ && !ended_) {
      // A member, not a local: an unanswered close completes (aborted) only
      // when the socket is cut below, after this block.
      ws_.async_close(websocket::close_code::going_away, [this](beast::error_code) { closeAnswered_ = true; });
      double until = clock_.continuousSeconds() + 1;
      while (!closeAnswered_ && !ended_ && clock_.continuousSeconds() < until) {
        io_.run_for(std::chrono::milliseconds(50));
        if (io_.stopped()) io_.restart();
      }
    }
    beast::error_code ignored;
    resolver_.cancel();
    beast::get_lowest_layer(ws_).socket().close(ignored);
    io_.restart();
    io_.run_for(std::chrono::seconds(1));
  }

  asio::io_context& io_;
  Stream& ws_;
  const WebSocketTarget& address_;
  const Clock& clock_;
  const WebSocketTiming& timing_;
  const WebSocketCallbacks& callbacks_;
  tcp::resolver resolver_;
  beast::flat_buffer buffer_;

  bool finished_ = false;
  bool connected_ = false;
  bool failed_ = false;
  bool ended_ = false;
  bool established_ = false;
  bool pinging_ = false;
  bool closeAnswered_ = false;
  double lastPong_ = 0;
  double nextPing_ = 0;
};

}  // namespace

bool beastListen(const WebSocketTarget& target, const Clock& clock, const WebSocketTiming& timing,
                 const WebSocketCallbacks& callbacks) {
  bool reported = false;
  // Whatever fails, the caller hears (false) exactly once.
  WebSocketCallbacks guarded = callbacks;
  guarded.onConnectionChange = [&](bool connected) {
    if (!connected) reported = true;
    callbacks.onConnectionChange(connected);
  };
  try {
    asio::io_context io;
    if (target.secure) {
      asio::ssl::context tls(asio::ssl::context::tls_client);
      tls.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                      asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
      if (target.certificateAuthority)
        tls.load_verify_file(target.certificateAuthority->string());
      else
        tls.set_default_verify_paths();
      websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws(io, tls);
      return Connection(io, ws, target, clock, timing, guarded).run();
    }
    websocket::stream<beast::tcp_stream> ws(io);
    return Connection(io, ws, target, clock, timing, guarded).run();
  } catch (...) {
    if (!reported) {
      try {
        callbacks.onConnectionChange(false);
      } catch (...) {
      }
    }
    return false;
  }
}

}  // namespace corvane::platform
