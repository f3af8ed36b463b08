#pragma once

#include <string>

namespace corvane::test {

// A datagram socket the test owns, as a service manager's notify socket:
// bound at a path, or at "@name" in the abstract namespace.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& address);
  ~NotifySocket();
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  // The next message, or "" when none arrives within seconds.
  std::string receive(double seconds = 2) const;
  // Throws away every message already there.
  void drain() const;

 private:
  int fd_ = -1;
};

}  // namespace corvane::test
