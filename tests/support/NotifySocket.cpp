#include "support/NotifySocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

namespace corvane::test {

NotifySocket::NotifySocket(const std::string& address) {
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un socketAddress{};
  socketAddress.sun_family = AF_UNIX;
  if (address.empty() || address.size() >= sizeof socketAddress.sun_path) {
    ADD_FAILURE() << "unusable socket address " << address;
    return;
  }
  std::memcpy(socketAddress.sun_path, address.data(), address.size());
  socklen_t length = offsetof(sockaddr_un, sun_path) + address.size();
  if (address[0] == '@') socketAddress.sun_path[0] = '\0';
  if (bind(fd_, reinterpret_cast<sockaddr*>(&socketAddress), length) != 0) ADD_FAILURE() << "bind failed";
}

NotifySocket::~NotifySocket() {
  if (fd_ >= 0) close(fd_);
}

std::string NotifySocket::receive(double seconds) const {
  pollfd ready{.fd = fd_, .events = POLLIN, .revents = 0};
  if (poll(&ready, 1, static_cast<int>(seconds * 1000)) != 1) return "";
  char buffer[256];
  ssize_t received = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
  return received < 0 ? "" : std::string(buffer, received);
}

void NotifySocket::drain() const {
  char buffer[256];
  while (recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {
  }
}

}  // namespace corvane::test
