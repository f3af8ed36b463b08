// The notify protocol is small and documented as stable for
// reimplementation; writing its few lines here keeps libsystemd and its
// compression and crypto libraries out of a tool that starts every few
// seconds for the tray app.

#include "platform/ServiceNotifier.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace corvane::platform {

namespace {

std::optional<std::string> notifySocketFromEnvironment() {
  const char* value = std::getenv("NOTIFY_SOCKET");
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

}  // namespace

ServiceNotifier::ServiceNotifier() : ServiceNotifier(notifySocketFromEnvironment()) {}

ServiceNotifier::ServiceNotifier(std::optional<std::string> address) : address_(std::move(address)) {
  // Only an absolute path or an abstract name is a socket the manager made.
  if (address_ && (address_->empty() || ((*address_)[0] != '/' && (*address_)[0] != '@'))) address_.reset();
}

bool ServiceNotifier::send(std::string_view state) const {
  if (!address_) return false;
  sockaddr_un socketAddress{};
  socketAddress.sun_family = AF_UNIX;
  if (address_->size() >= sizeof socketAddress.sun_path) return false;
  std::memcpy(socketAddress.sun_path, address_->data(), address_->size());
  socklen_t length = offsetof(sockaddr_un, sun_path) + address_->size();
  if (socketAddress.sun_path[0] == '@')
    socketAddress.sun_path[0] = '\0';
  else
    length += 1;  // a path is sent with its terminating NUL

  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  ssize_t sent;
  do {
    sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                  reinterpret_cast<const sockaddr*>(&socketAddress), length);
  } while (sent < 0 && errno == EINTR);
  close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

}  // namespace corvane::platform
