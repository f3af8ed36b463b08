#include "platform/ServiceNotifier.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "support/TemporaryDirectory.h"

namespace corvane::platform {
namespace {

// A datagram socket the test owns, as the service manager would.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& address) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un socketAddress{};
    socketAddress.sun_family = AF_UNIX;
    std::memcpy(socketAddress.sun_path, address.data(), address.size());
    socklen_t length = offsetof(sockaddr_un, sun_path) + address.size();
    if (address[0] == '@') socketAddress.sun_path[0] = '\0';
    if (bind(fd_, reinterpret_cast<sockaddr*>(&socketAddress), length) != 0) ADD_FAILURE() << "bind failed";
    timeval timeout{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~NotifySocket() { close(fd_); }

  std::string receive() const {
    char buffer[256];
    ssize_t received = recv(fd_, buffer, sizeof buffer, 0);
    return received < 0 ? "" : std::string(buffer, received);
  }

 private:
  int fd_ = -1;
};

TEST(ServiceNotifierTest, SendsEachStateAsOneDatagram) {
  test::TemporaryDirectory directory;
  const std::string addresses[] = {(directory / "notify").string(), "@corvane-notify-test-" + std::to_string(getpid())};
  for (const auto& address : addresses) {
    NotifySocket socket(address);
    ServiceNotifier notifier(address);
    ASSERT_TRUE(notifier.enabled()) << address;
    notifier.ready();
    notifier.watchdog();
    notifier.stopping();
    EXPECT_EQ(socket.receive(), "READY=1") << address;
    EXPECT_EQ(socket.receive(), "WATCHDOG=1") << address;
    EXPECT_EQ(socket.receive(), "STOPPING=1") << address;
  }
}

TEST(ServiceNotifierTest, WithoutAManagerNothingIsSent) {
  const char* saved = std::getenv("NOTIFY_SOCKET");
  std::string restore = saved ? saved : "";
  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(ServiceNotifier().enabled());
  EXPECT_FALSE(ServiceNotifier().send("READY=1"));
  if (saved) setenv("NOTIFY_SOCKET", restore.c_str(), 1);

  // Only an absolute path or an abstract name is a manager's socket; a
  // socket that nobody listens on is no delivery.
  for (const char* address : {"", "relative/notify", "/nonexistent/notify"})
    EXPECT_FALSE(ServiceNotifier(std::string(address)).send("READY=1")) << address;
  EXPECT_FALSE(ServiceNotifier(std::string(200, '/')).send("READY=1"));
}

}  // namespace
}  // namespace corvane::platform
