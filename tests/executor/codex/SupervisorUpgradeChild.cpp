// A stand-in for an executor whose own file is replaced on disk while it
// runs, as a package upgrade does. Like corvane-mac it is its own supervisor
// ("--internal-codex-supervisor"), so the supervisor it starts is whatever
// runningExecutableURL() names.
//
//   supervisor-upgrade-child RUNTIME HOME
//
// prints "ready", waits for one line on standard input (the test replaces
// the file meanwhile), then starts RUNTIME (the fake runtime) as an app
// server with HOME as its CODEX_HOME under the supervisor and initializes it:
// "group <id>" and "initialized" then, exit 0; "failed <code>" and exit 1
// when it cannot.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "executor/codex/CodexProcess.h"
#include "executor/codex/CodexSupervisor.h"
#include "executor/support/CVError.h"
#include "platform/Clock.h"

namespace {

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int startSupervisedRuntime(const std::string& runtime, const std::string& home) {
  int guard = open("/dev/null", O_RDONLY | O_CLOEXEC);
  double deadline = corvane::platform::continuousSeconds() + 30;
  try {
    corvane::CodexProcess codex(runtime, {"app-server", "--listen", "stdio://"}, home,
                                {{"CODEX_HOME", home}, {"HOME", home}, {"PATH", "/usr/bin:/bin"}}, guard, deadline,
                                corvane::runningExecutableURL());
    say("group " + std::to_string(codex.pid()));
    codex.request("initialize", corvane::Json{{"clientInfo", {{"name", "corvane_local"}, {"version", "0.1.0"}}}},
                  deadline);
    say("initialized");
    codex.close();
    return 0;
  } catch (const corvane::CVError& error) {
    say("failed " + (error.kind() == corvane::CVError::Kind::timeout ? std::string("timeout") : error.message()));
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (!arguments.empty() && arguments[0] == "--internal-codex-supervisor")
    return corvane::runCodexSupervisor({arguments.begin() + 1, arguments.end()});
  if (arguments.size() != 2) return 64;
  say("ready");
  std::string go;
  if (!std::getline(std::cin, go)) return 64;
  return startSupervisedRuntime(arguments[0], arguments[1]);
}
