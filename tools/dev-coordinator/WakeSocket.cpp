#include "WakeSocket.h"

#include <deque>

#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "Log.h"

namespace corvane::devcoordinator {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {

template <class Next>
class WakeSession : public WakeConnection, public std::enable_shared_from_this<WakeSession<Next>> {
 public:
  WakeSession(WakeSocket& hub, Next stream, HttpRequest request)
      : hub_(hub), ws_(std::move(stream)), request_(std::move(request)) {}

  void start() {
    beast::get_lowest_layer(ws_).expires_never();
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
      response.set(beast::http::field::server, "corvane-dev-coordinator");
    }));
    ws_.async_accept(request_, [self = this->shared_from_this()](beast::error_code error) {
      if (error) return;
      self->hub_.opened(self);
      self->read();
    });
  }

  void sendWake() override {
    asio::post(ws_.get_executor(), [self = this->shared_from_this()] {
      self->outbox_.push_back(R"({"type":"wake"})");
      if (self->outbox_.size() == 1) self->write();
    });
  }

  void resume() override {
    asio::post(ws_.get_executor(), [self = this->shared_from_this()] {
      if (self->paused_) {
        self->paused_ = false;
        self->read();
      }
    });
  }

  void pause() override {
    asio::post(ws_.get_executor(), [self = this->shared_from_this()] {
      if (self->paused_) return;
      beast::error_code ignored;
      beast::get_lowest_layer(self->ws_).socket().cancel(ignored);
    });
  }

  void abort() override {
    asio::post(ws_.get_executor(), [self = this->shared_from_this()] {
      beast::error_code ignored;
      beast::get_lowest_layer(self->ws_).socket().close(ignored);
    });
  }

 private:
  // Pongs are sent while a read is in progress; a session told not to answer
  // pings stops reading, so the client's pings pile up unanswered.
  void read() {
    if (!hub_.answerPings()) {
      paused_ = true;
      return;
    }
    ws_.async_read(buffer_, [self = this->shared_from_this()](beast::error_code error, size_t) {
      if (error == asio::error::operation_aborted && !self->hub_.answerPings()) {
        self->paused_ = true;  // paused by the test: the connection stays open, silent
        return;
      }
      if (error) {
        std::optional<unsigned> code;
        if (error == websocket::error::closed) code = self->ws_.reason().code;
        self->hub_.closed(self, code);
        return;
      }
      self->buffer_.consume(self->buffer_.size());
      self->read();
    });
  }

  void write() {
    ws_.text(true);
    ws_.async_write(asio::buffer(outbox_.front()), [self = this->shared_from_this()](beast::error_code error, size_t) {
      self->outbox_.pop_front();
      if (error) return;
      if (!self->outbox_.empty()) self->write();
    });
  }

  WakeSocket& hub_;
  websocket::stream<Next> ws_;
  HttpRequest request_;
  beast::flat_buffer buffer_;
  std::deque<std::string> outbox_;
  bool paused_ = false;
};

}  // namespace

void WakeSocket::accept(beast::tcp_stream stream, HttpRequest request) {
  std::make_shared<WakeSession<beast::tcp_stream>>(*this, std::move(stream), std::move(request))->start();
}

void WakeSocket::accept(beast::ssl_stream<beast::tcp_stream> stream, HttpRequest request) {
  std::make_shared<WakeSession<beast::ssl_stream<beast::tcp_stream>>>(*this, std::move(stream), std::move(request))
      ->start();
}

size_t WakeSocket::wakeAll() {
  std::set<std::shared_ptr<WakeConnection>> open;
  {
    std::lock_guard lock(mutex_);
    open = open_;
  }
  for (const auto& connection : open) connection->sendWake();
  if (!open.empty()) logLine("wake sent on " + std::to_string(open.size()) + " connection(s)");
  return open.size();
}

void WakeSocket::setAnswerPings(bool answer) {
  std::set<std::shared_ptr<WakeConnection>> open;
  {
    std::lock_guard lock(mutex_);
    answerPings_ = answer;
    open = open_;
  }
  for (const auto& connection : open) {
    if (answer)
      connection->resume();
    else
      connection->pause();
  }
}

bool WakeSocket::answerPings() const {
  std::lock_guard lock(mutex_);
  return answerPings_;
}

Json WakeSocket::status() const {
  std::lock_guard lock(mutex_);
  return Json{
      {"open", open_.size()}, {"accepted", accepted_}, {"answerPings", answerPings_}, {"closeCodes", closeCodes_}};
}

void WakeSocket::reset() {
  std::set<std::shared_ptr<WakeConnection>> open;
  {
    std::lock_guard lock(mutex_);
    open.swap(open_);
    accepted_ = 0;
    answerPings_ = true;
    closeCodes_.clear();
  }
  for (const auto& connection : open) connection->abort();
}

void WakeSocket::opened(const std::shared_ptr<WakeConnection>& connection) {
  std::lock_guard lock(mutex_);
  open_.insert(connection);
  ++accepted_;
  logLine("wake channel opened (" + std::to_string(open_.size()) + " open)");
}

void WakeSocket::closed(const std::shared_ptr<WakeConnection>& connection, std::optional<unsigned> closeCode) {
  std::lock_guard lock(mutex_);
  open_.erase(connection);
  if (closeCode) closeCodes_.push_back(*closeCode);
  logLine("wake channel closed" + (closeCode ? " with " + std::to_string(*closeCode) : std::string()));
}

}  // namespace corvane::devcoordinator
