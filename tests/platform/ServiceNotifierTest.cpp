#include "platform/ServiceNotifier.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/NotifySocket.h"
#include "support/TemporaryDirectory.h"

namespace corvane::platform {
namespace {

using test::NotifySocket;

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
