#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane::platform {

// Tells the service manager that started this process how it is doing:
// ready, still alive (the watchdog), stopping. This is systemd's notify
// protocol: one datagram per state to the socket named by NOTIFY_SOCKET. A
// process not started that way has no socket and every call does nothing, so
// the same code runs under a manager, in a terminal and in tests.
// Thread-safe: each message is one sendto on a socket made for it.
class ServiceNotifier {
 public:
  // The socket named by NOTIFY_SOCKET, read once here.
  ServiceNotifier();
  // The socket at address ("@name" for the abstract namespace, a path
  // otherwise; nothing for none): for tests that own the socket.
  explicit ServiceNotifier(std::optional<std::string> address);

  // Whether a manager listens: the messages go somewhere.
  bool enabled() const { return address_.has_value(); }

  // "READY=1": the service is up and doing its job.
  void ready() const { send("READY=1"); }
  // "WATCHDOG=1": the service is still making progress; a manager with a
  // watchdog restarts it when these stop coming.
  void watchdog() const { send("WATCHDOG=1"); }
  // "STOPPING=1": the service is on its way out, so its end is no failure.
  void stopping() const { send("STOPPING=1"); }

  // Sends state; false when it could not be delivered (no manager listening
  // counts as delivered nowhere, and is false too). Never blocks.
  bool send(std::string_view state) const;

 private:
  std::optional<std::string> address_;
};

}  // namespace corvane::platform
