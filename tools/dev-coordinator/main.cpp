// corvane-dev-coordinator: a stand-in for the coordinator service on loopback,
// for tests and for trying the executor by hand. See README.md.

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "AuthApi.h"
#include "ControlApi.h"
#include "CoordinatorState.h"
#include "DiagnosticsApi.h"
#include "ExecutorApi.h"
#include "FaultPlan.h"
#include "HttpServer.h"
#include "Log.h"
#include "PairingApi.h"
#include "RequestLog.h"
#include "Router.h"
#include "TlsIdentity.h"
#include "WakeSocket.h"

namespace dc = corvane::devcoordinator;
namespace fs = std::filesystem;

namespace {

constexpr const char* usage =
    "usage: corvane-dev-coordinator [--http-port N] [--https-port N] [--control-port N]\n"
    "                               [--state-dir DIR] [--ready-file PATH] [--exit-on-stdin-eof]\n"
    "Serves the coordinator API on 127.0.0.1 over HTTP and HTTPS and a control API for tests.\n"
    "Prints one JSON line with its ports and the CA file once it is ready; stops on SIGINT or\n"
    "SIGTERM (and, with --exit-on-stdin-eof, when its standard input ends). Port 0 = any free port.\n";

struct Options {
  unsigned short httpPort = 0;
  unsigned short httpsPort = 0;
  unsigned short controlPort = 0;
  std::optional<fs::path> stateDirectory;
  std::optional<fs::path> readyFile;
  bool exitOnStdinEof = false;
};

[[noreturn]] void fail(const std::string& message) {
  std::cerr << "corvane-dev-coordinator: " << message << "\n";
  std::exit(2);
}

unsigned short port(const std::string& text) {
  try {
    size_t used = 0;
    unsigned long value = std::stoul(text, &used);
    if (used == text.size() && value <= 65535) return static_cast<unsigned short>(value);
  } catch (const std::exception&) {
  }
  fail("not a port: " + text);
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail(argument + " needs a value");
      return argv[++i];
    };
    if (argument == "--http-port")
      options.httpPort = port(value());
    else if (argument == "--https-port")
      options.httpsPort = port(value());
    else if (argument == "--control-port")
      options.controlPort = port(value());
    else if (argument == "--state-dir")
      options.stateDirectory = fs::path(value());
    else if (argument == "--ready-file")
      options.readyFile = fs::path(value());
    else if (argument == "--exit-on-stdin-eof")
      options.exitOnStdinEof = true;
    else if (argument == "--help" || argument == "-h") {
      std::cout << usage;
      std::exit(0);
    } else {
      std::cerr << usage;
      fail("unknown argument " + argument);
    }
  }
  return options;
}

// The given directory (created private when missing), or a fresh private one
// under the temp directory that is removed again at exit.
fs::path stateDirectory(const Options& options, bool& temporary) {
  if (options.stateDirectory) {
    if (::mkdir(options.stateDirectory->c_str(), 0700) != 0 && errno != EEXIST)
      fail("cannot create " + options.stateDirectory->string() + ": " + std::strerror(errno));
    struct stat info {};
    if (::lstat(options.stateDirectory->c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
      fail(options.stateDirectory->string() + " is not a directory");
    temporary = false;
    return *options.stateDirectory;
  }
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/corvane-dev-coordinator.XXXXXX";
  if (!::mkdtemp(pattern.data())) fail(std::string("cannot create a temporary directory: ") + std::strerror(errno));
  temporary = true;
  return pattern;
}

void writeReadyFile(const fs::path& path, const std::string& line) {
  fs::path temporary = path;
  temporary += ".tmp";
  FILE* file = std::fopen(temporary.c_str(), "wx");
  if (!file) fail("cannot write " + temporary.string() + ": " + std::strerror(errno));
  bool ok = std::fputs(line.c_str(), file) >= 0 && std::fflush(file) == 0 && ::fsync(fileno(file)) == 0;
  ok = std::fclose(file) == 0 && ok;
  if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) fail("cannot write " + path.string());
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parse(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);

  bool temporaryState = false;
  fs::path state = stateDirectory(options, temporaryState);
  fs::path caFile = state / "ca.pem";

  try {
    dc::TlsIdentity identity = dc::TlsIdentity::generate();
    ::unlink((caFile.string() + ".tmp").c_str());
    identity.writeCa(caFile);

    boost::asio::io_context io;
    dc::CoordinatorState coordinator;
    dc::RequestLog log;
    dc::FaultPlan faults;

    dc::Router api({}, &log, &faults);
    dc::PairingApi pairing(coordinator);
    pairing.install(api);
    dc::AuthApi auth(coordinator);
    auth.install(api);
    dc::WakeSocket wakes;
    dc::ExecutorApi executor(coordinator, wakes, log);
    executor.install(api);
    dc::DiagnosticsApi diagnostics(coordinator);
    diagnostics.install(api);

    auto dispatchApi = [&api](const dc::HttpRequest& request, const dc::ConnectionInfo& connection) {
      return api.dispatch(request, connection);
    };
    dc::HttpServer http(io, dispatchApi);
    dc::HttpServer https(io, dispatchApi, identity.serverContext());
    auto authorizeWake = [&executor](const dc::HttpRequest& request, const dc::ConnectionInfo& connection) {
      return executor.authorizeWake(request, connection);
    };
    http.upgradeWebSockets("/v1/executor/wake", authorizeWake, wakes);
    https.upgradeWebSockets("/v1/executor/wake", authorizeWake, wakes);

    dc::Json status;
    dc::Router controlRouter({.postOnly = false, .jsonContentType = false, .emptyBodyAsObject = true}, nullptr,
                             nullptr);
    dc::ControlApi control(coordinator, log, faults,
                           {.status = [&status] { return status; },
                            .releaseHeld =
                                [&http, &https, &executor] {
                                  http.releaseHeld();
                                  https.releaseHeld();
                                  executor.reset();  // a reset forgets the executor side too
                                }});
    control.install(controlRouter);
    executor.installControl(controlRouter);
    diagnostics.installControl(controlRouter);
    dc::HttpServer controlServer(
        io, [&controlRouter](const dc::HttpRequest& request, const dc::ConnectionInfo& connection) {
          return controlRouter.dispatch(request, connection);
        });

    unsigned short httpPort = http.listen(options.httpPort);
    unsigned short httpsPort = https.listen(options.httpsPort);
    unsigned short controlPort = controlServer.listen(options.controlPort);
    status = dc::Json{{"ready", true},
                      {"pid", static_cast<long>(::getpid())},
                      {"httpPort", httpPort},
                      {"httpsPort", httpsPort},
                      {"controlPort", controlPort},
                      {"http", "http://127.0.0.1:" + std::to_string(httpPort)},
                      {"https", "https://127.0.0.1:" + std::to_string(httpsPort)},
                      {"control", "http://127.0.0.1:" + std::to_string(controlPort)},
                      {"caFile", caFile.string()},
                      {"stateDirectory", state.string()}};

    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&io](const boost::system::error_code& error, int) {
      if (!error) io.stop();
    });
    if (options.exitOnStdinEof) {
      // Ties the coordinator's life to whoever holds the other end of its
      // standard input: a test that dies takes the coordinator with it.
      // The watcher only raises SIGTERM, so it never touches the io_context,
      // which may already be gone when it wakes.
      std::thread([] {
        char buffer[256];
        for (;;) {
          ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
          if (n == 0 || (n < 0 && errno != EINTR)) break;
        }
        ::kill(::getpid(), SIGTERM);
      }).detach();
    }

    std::string line = status.dump() + "\n";
    if (options.readyFile) writeReadyFile(*options.readyFile, line);
    std::cout << line << std::flush;
    dc::logLine("ready: http " + std::to_string(httpPort) + ", https " + std::to_string(httpsPort) + ", control " +
                std::to_string(controlPort) + ", CA " + caFile.string());

    io.run();
    dc::logLine("stopping");
    // Cleaned up and gone while the signal handlers are still in place: a
    // second SIGTERM during an orderly teardown would otherwise kill the
    // process with the default action.
    std::error_code ignored;
    if (temporaryState)
      fs::remove_all(state, ignored);
    else
      fs::remove(caFile, ignored);
    std::fflush(nullptr);
    ::_exit(0);
  } catch (const std::exception& error) {
    if (temporaryState) fs::remove_all(state);
    fail(error.what());
  }
  return 0;
}
