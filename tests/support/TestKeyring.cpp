#include "support/TestKeyring.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gio/gio.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace corvane::test {

namespace fs = std::filesystem;

namespace {

constexpr auto startLimit = std::chrono::seconds(30);

// No service directories: nothing is ever activated on this bus, so a
// keyring that failed to start shows as a failure instead of some other
// Secret Service appearing.
constexpr const char* busConfiguration =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

struct Spawn {
  std::vector<std::string> arguments;
  std::vector<std::string> environment;
  int input = -1;       // becomes standard input
  int addressOut = -1;  // becomes descriptor 3
  fs::path log;
};

pid_t spawn(const Spawn& request) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (request.input >= 0)
    posix_spawn_file_actions_adddup2(&actions, request.input, 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, request.log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (request.addressOut >= 0) posix_spawn_file_actions_adddup2(&actions, request.addressOut, 3);

  std::vector<std::string> arguments = request.arguments;
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = request.environment;
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed) throw std::runtime_error("test keyring: cannot start " + request.arguments[0] + ": " + strerror(failed));
  return pid;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 50; ++i) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

std::string readLine(int fd, std::chrono::steady_clock::time_point deadline) {
  std::string line;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 100) <= 0) continue;
    char byte = 0;
    ssize_t got = read(fd, &byte, 1);
    if (got <= 0 || byte == '\n') return line;
    line += byte;
  }
  return line;
}

// The default collection's object path, once the keyring has its unlocked
// login collection on the bus; "" while it has not.
std::string unlockedDefaultCollection(GDBusConnection* connection) {
  GVariant* alias = g_dbus_connection_call_sync(
      connection, "org.freedesktop.secrets", "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "ReadAlias",
      g_variant_new("(s)", "default"), G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, 2000, nullptr, nullptr);
  if (!alias) return {};
  const gchar* path = nullptr;
  g_variant_get(alias, "(&o)", &path);
  std::string collection = path ? path : "";
  g_variant_unref(alias);
  if (collection == "/" || collection.empty()) return {};

  GVariant* locked = g_dbus_connection_call_sync(
      connection, "org.freedesktop.secrets", collection.c_str(), "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"), G_VARIANT_TYPE("(v)"),
      G_DBUS_CALL_FLAGS_NO_AUTO_START, 2000, nullptr, nullptr);
  if (!locked) return {};
  GVariant* value = nullptr;
  g_variant_get(locked, "(v)", &value);
  bool isLocked = g_variant_get_boolean(value);
  g_variant_unref(value);
  g_variant_unref(locked);
  return isLocked ? std::string() : collection;
}

}  // namespace

TestKeyring::TestKeyring() {
  fs::path home = directory_ / "home";
  fs::path runtime = directory_ / "run";
  fs::create_directories(home / ".local/share");
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
  fs::path socket = directory_ / "bus";
  address_ = "unix:path=" + socket.string();
  fs::path log = directory_ / "daemons.log";
  auto deadline = std::chrono::steady_clock::now() + startLimit;

  std::string configuration = busConfiguration;
  configuration.replace(configuration.find("@SOCKET@"), 8, socket.string());
  std::ofstream(directory_ / "bus.conf") << configuration;

  std::vector<std::string> environment = {"PATH=" + std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"),
                                          "HOME=" + home.string(),
                                          "XDG_DATA_HOME=" + (home / ".local/share").string(),
                                          "XDG_CONFIG_HOME=" + (home / ".config").string(),
                                          "XDG_CACHE_HOME=" + (home / ".cache").string(),
                                          "XDG_RUNTIME_DIR=" + runtime.string(),
                                          "DBUS_SESSION_BUS_ADDRESS=" + address_,
                                          "LANG=C.UTF-8"};

  int ready[2];
  if (pipe2(ready, O_CLOEXEC)) throw std::runtime_error("test keyring: pipe");
  bus_ = spawn({{"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + (directory_ / "bus.conf").string(),
                 "--print-address=3"},
                environment,
                -1,
                ready[1],
                log});
  close(ready[1]);
  std::string printed = readLine(ready[0], deadline);
  close(ready[0]);
  if (printed.empty()) {
    stop(bus_);
    throw std::runtime_error("test keyring: the D-Bus daemon did not start (see " + log.string() + ")");
  }

  // --unlock reads the login password from standard input; with no login
  // keyring yet it creates one with that password, unlocked and the default.
  int password[2];
  if (pipe2(password, O_CLOEXEC)) throw std::runtime_error("test keyring: pipe");
  keyring_ = spawn({{"gnome-keyring-daemon", "--foreground", "--components=secrets", "--unlock"},
                    environment,
                    password[0],
                    -1,
                    log});
  close(password[0]);
  if (write(password[1], "test", 4) != 4) {
  }
  close(password[1]);

  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address_.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  bool usable = false;
  while (connection && !usable && std::chrono::steady_clock::now() < deadline) {
    usable = !unlockedDefaultCollection(connection).empty();
    if (!usable) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (connection) {
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
  }
  if (!usable) {
    stop(keyring_);
    stop(bus_);
    throw std::runtime_error("test keyring: no unlocked login keyring appeared (see " + log.string() + ")");
  }
}

void TestKeyring::lockDefaultCollection() {
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address_.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  if (!connection) throw std::runtime_error("test keyring: cannot reach the bus");
  std::string collection = unlockedDefaultCollection(connection);
  GVariant* locked = nullptr;
  if (!collection.empty()) {
    const gchar* objects[] = {collection.c_str()};
    locked = g_dbus_connection_call_sync(
        connection, "org.freedesktop.secrets", "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "Lock",
        g_variant_new("(@ao)", g_variant_new_objv(objects, 1)), G_VARIANT_TYPE("(aoo)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, nullptr);
  }
  bool nowLocked = locked && unlockedDefaultCollection(connection).empty();
  if (locked) g_variant_unref(locked);
  g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_object_unref(connection);
  if (!nowLocked) throw std::runtime_error("test keyring: the default collection could not be locked");
}

TestKeyring::~TestKeyring() {
  stop(keyring_);
  stop(bus_);
}

void KeyringEnvironment::SetUp() {
  keyring_ = std::make_unique<TestKeyring>();
  setenv("DBUS_SESSION_BUS_ADDRESS", keyring_->busAddress().c_str(), 1);
}

void KeyringEnvironment::TearDown() {
  keyring_.reset();
  // Whatever runs after must not reach the user's bus in its place.
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
}

}  // namespace corvane::test
