#include "HttpServer.h"

#include <atomic>
#include <chrono>
#include <list>
#include <mutex>
#include <type_traits>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "WakeSocket.h"

namespace corvane::devcoordinator {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

// What the server can do to a connection from outside its own callbacks.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual void abort() = 0;
};

// Counted across all servers of the process, since the HTTP and HTTPS ports
// share one request log and their numbers must not collide there.
std::atomic<uint64_t> nextConnection{1};

}  // namespace

struct HttpServer::Shared {
  Dispatch dispatch;
  std::shared_ptr<asio::ssl::context> tls;
  std::mutex mutex;
  std::list<std::weak_ptr<Connection>> held;
  std::string webSocketPath;
  HttpServer::Authorize authorizeWebSocket;
  WakeSocket* wakeSocket = nullptr;

  void hold(const std::shared_ptr<Connection>& connection) {
    std::lock_guard lock(mutex);
    held.remove_if([](const std::weak_ptr<Connection>& entry) { return entry.expired(); });
    held.push_back(connection);
  }
};

namespace {

// One client connection: read a request, deliver its Reply, repeat while the
// client keeps the connection alive. Stream is beast::tcp_stream or
// beast::ssl_stream<beast::tcp_stream>.
template <class Stream>
class Session : public Connection, public std::enable_shared_from_this<Session<Stream>> {
  static constexpr bool secure = !std::is_same_v<Stream, beast::tcp_stream>;

 public:
  template <class... Arguments>
  Session(std::shared_ptr<HttpServer::Shared> shared, tcp::socket socket, Arguments&&... arguments)
      : shared_(std::move(shared)),
        connection_{secure ? "https" : "http", nextConnection.fetch_add(1)},
        stream_(std::move(socket), std::forward<Arguments>(arguments)...),
        timer_(stream_.get_executor()) {}

  void start() {
    if constexpr (secure) {
      beast::get_lowest_layer(stream_).expires_after(10s);
      stream_.async_handshake(asio::ssl::stream_base::server,
                              [self = this->shared_from_this()](beast::error_code error) {
                                if (!error) self->readRequest();
                              });
    } else {
      readRequest();
    }
  }

  void abort() override {
    beast::error_code ignored;
    timer_.cancel();
    beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(stream_).socket().close(ignored);
  }

 private:
  void readRequest() {
    parser_.emplace();
    parser_->body_limit(HttpServer::maximumRequestBody);
    // An idle keep-alive connection is closed after a minute.
    beast::get_lowest_layer(stream_).expires_after(60s);
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](beast::error_code error, size_t) { self->onRead(error); });
  }

  void onRead(beast::error_code error) {
    if (error == http::error::body_limit) {
      Reply reply = Reply::error(413, "payload_too_large", "the request body is too large");
      return answer(reply, 11, false);
    }
    if (error == http::error::end_of_stream) return closeGracefully();
    if (error) return;  // dropped, timed out or malformed: the destructor closes the socket
    HttpRequest request = parser_->release();
    if (shared_->wakeSocket && beast::websocket::is_upgrade(request)) {
      std::string target(request.target());
      if (target.substr(0, target.find('?')) == shared_->webSocketPath) {
        if (auto refusal = shared_->authorizeWebSocket(request, connection_))
          return answer(*refusal, request.version(), false);
        // The WebSocket session owns the connection from here on.
        timer_.cancel();
        return shared_->wakeSocket->accept(std::move(stream_), std::move(request));
      }
    }
    Reply reply = shared_->dispatch(request, connection_);
    switch (reply.delivery) {
      case Reply::Delivery::hold:
        return hold();
      case Reply::Delivery::close:
        return abort();
      case Reply::Delivery::answer:
        break;
    }
    if (reply.delay.count() > 0) {
      timer_.expires_after(reply.delay);
      beast::get_lowest_layer(stream_).expires_never();
      timer_.async_wait([self = this->shared_from_this(), reply, version = request.version(),
                         keepAlive = request.keep_alive()](beast::error_code waitError) {
        if (!waitError) self->answer(reply, version, keepAlive);
      });
      return;
    }
    answer(reply, request.version(), request.keep_alive());
  }

  void answer(const Reply& reply, unsigned version, bool keepAlive) {
    response_ = {};
    response_.version(version);
    response_.result(reply.status);
    response_.set(http::field::server, "corvane-dev-coordinator");
    response_.set(http::field::content_type, reply.contentType);
    response_.set(http::field::cache_control, "no-store");
    for (const auto& [name, value] : reply.headers) response_.set(name, value);
    response_.body() = reply.body;
    response_.keep_alive(keepAlive);
    response_.prepare_payload();
    beast::get_lowest_layer(stream_).expires_after(30s);
    http::async_write(stream_, response_, [self = this->shared_from_this()](beast::error_code error, size_t) {
      if (error) return;
      if (self->response_.need_eof()) return self->closeGracefully();
      self->readRequest();
    });
  }

  // Never answers. Reading on lets the session notice the client leaving and
  // end then; a stuck client is cut off after ten minutes at the latest.
  void hold() {
    shared_->hold(this->shared_from_this());
    beast::get_lowest_layer(stream_).expires_after(600s);
    stream_.async_read_some(asio::buffer(probe_), [self = this->shared_from_this()](beast::error_code error, size_t) {
      if (!error) return self->hold();
      self->abort();
    });
  }

  void closeGracefully() {
    if constexpr (secure) {
      beast::get_lowest_layer(stream_).expires_after(5s);
      stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) { self->abort(); });
    } else {
      beast::error_code ignored;
      stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
      beast::get_lowest_layer(stream_).expires_after(5s);
      drain();
    }
  }

  // A lingering close: reads and discards what the client still sends (the
  // rest of a body too large to take) so that it gets to read the answer
  // instead of a reset, until it closes its side.
  void drain() {
    stream_.async_read_some(asio::buffer(probe_), [self = this->shared_from_this()](beast::error_code error, size_t) {
      if (!error) return self->drain();
      self->abort();
    });
  }

  std::shared_ptr<HttpServer::Shared> shared_;
  const ConnectionInfo connection_;
  Stream stream_;
  asio::steady_timer timer_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
  char probe_[512];
};

}  // namespace

HttpServer::HttpServer(asio::io_context& io, Dispatch dispatch, std::shared_ptr<asio::ssl::context> tls)
    : acceptor_(io), shared_(std::make_shared<Shared>()) {
  shared_->dispatch = std::move(dispatch);
  shared_->tls = std::move(tls);
}

HttpServer::~HttpServer() {
  beast::error_code ignored;
  acceptor_.close(ignored);
  releaseHeld();
}

unsigned short HttpServer::listen(unsigned short port) {
  tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(asio::socket_base::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen(asio::socket_base::max_listen_connections);
  accept();
  return acceptor_.local_endpoint().port();
}

void HttpServer::upgradeWebSockets(std::string path, Authorize authorize, WakeSocket& hub) {
  shared_->webSocketPath = std::move(path);
  shared_->authorizeWebSocket = std::move(authorize);
  shared_->wakeSocket = &hub;
}

void HttpServer::releaseHeld() {
  std::list<std::weak_ptr<Connection>> held;
  {
    std::lock_guard lock(shared_->mutex);
    held.swap(shared_->held);
  }
  for (auto& entry : held) {
    if (auto connection = entry.lock()) connection->abort();
  }
}

void HttpServer::accept() {
  acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) {
    if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (!error) {
      if (shared_->tls) {
        std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(shared_, std::move(socket), *shared_->tls)
            ->start();
      } else {
        std::make_shared<Session<beast::tcp_stream>>(shared_, std::move(socket))->start();
      }
    }
    accept();
  });
}

}  // namespace corvane::devcoordinator
