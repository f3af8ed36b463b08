#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include "Router.h"

namespace corvane::devcoordinator {

// One open wake channel, whichever transport it came on.
class WakeConnection {
 public:
  virtual ~WakeConnection() = default;
  virtual void sendWake() = 0;
  // Starts reading again after answering pings was switched back on.
  virtual void resume() = 0;
  // Stops answering pings now: the read in progress, which is what answers
  // them, is cancelled and not started again until resume.
  virtual void pause() = 0;
  virtual void abort() = 0;
};

// The wake channel at /v1/executor/wake: the WebSocket connections of the
// executors, on the same ports as the API. A test tells it to send
// {"type": "wake"} to every open connection and to stop answering pings (a
// connection then stops being read at all, so its pings go unanswered, as on
// a coordinator that hangs). It remembers the close code of every connection
// a client closed.
//
// Its state has its own lock; the sessions run on the io_context's thread.
class WakeSocket {
 public:
  // Takes over an upgraded connection: answers the handshake and keeps it.
  void accept(boost::beast::tcp_stream stream, HttpRequest request);
  void accept(boost::beast::ssl_stream<boost::beast::tcp_stream> stream, HttpRequest request);

  // Sends a wake message on every open connection; returns how many.
  size_t wakeAll();
  void setAnswerPings(bool answer);
  bool answerPings() const;
  // {"open", "accepted", "answerPings", "closeCodes": [codes of connections the client closed]}
  Json status() const;
  // Closes every connection and forgets the counts.
  void reset();

  // For the sessions.
  void opened(const std::shared_ptr<WakeConnection>& connection);
  void closed(const std::shared_ptr<WakeConnection>& connection, std::optional<unsigned> closeCode);

 private:
  mutable std::mutex mutex_;
  std::set<std::shared_ptr<WakeConnection>> open_;
  size_t accepted_ = 0;
  bool answerPings_ = true;
  std::vector<unsigned> closeCodes_;
};

}  // namespace corvane::devcoordinator
