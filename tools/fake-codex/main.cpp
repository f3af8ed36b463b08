// A stand-in for the Codex command-line runtime, for tests: "codex app-server --listen stdio://" and
// "codex exec ... --json PROMPT", scripted per account through files in CODEX_HOME (see README.md).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "AppServer.h"
#include "ExecRun.h"
#include "FakeHome.h"
#include "RuntimeTexts.h"

extern char** environ;

namespace corvane::fakecodex {
namespace {

// What a command-line parser error of the real runtime looks like: a message, a usage line, status 2.
int usageError(const std::string& message, const std::string& usage) {
  std::fprintf(stderr, "error: %s\n\nUsage: %s\n\nFor more information, try '--help'.\n", message.c_str(),
               usage.c_str());
  return 2;
}

Json openDescriptors() {
  Json fds = Json::array();
  DIR* directory = opendir("/proc/self/fd");
  if (!directory) return fds;
  int own = dirfd(directory);
  std::vector<int> numbers;
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    int fd = std::atoi(entry->d_name);
    if (fd != own) numbers.push_back(fd);
  }
  closedir(directory);
  std::sort(numbers.begin(), numbers.end());
  for (int fd : numbers) fds.push_back(fd);
  return fds;
}

// What a scenario asks of the process itself before it starts work: to survive SIGTERM (so that only
// SIGKILL ends it) and to leave children behind in its process group (as the real runtime's helpers).
Json prepareProcess(const FakeHome& home) {
  if (home.setting("ignoreSigterm") == true) signal(SIGTERM, SIG_IGN);
  Json children = Json::array();
  Json wanted = home.setting("children");
  for (int i = 0; wanted.is_number_integer() && i < wanted.get<int>(); ++i) {
    pid_t child = fork();
    if (child == 0) {
      // Off the protocol pipes, so that the runtime's own end of file is still seen; any other
      // inherited descriptor (such as the executor's guard on 3) stays open, as in a real helper.
      int null = open("/dev/null", O_RDWR);
      for (int fd = 0; fd < 3 && null >= 0; ++fd) dup2(null, fd);
      if (null > 2) close(null);
      for (;;) pause();
    }
    if (child > 0) children.push_back(child);
  }
  return children;
}

void startAndRecord(FakeHome& home, int argc, char** argv) {
  Json children = prepareProcess(home);
  Json arguments = Json::array();
  for (int i = 1; i < argc; ++i) arguments.push_back(argv[i]);
  Json environment = Json::object();
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    auto equals = text.find('=');
    if (equals != std::string::npos) environment[text.substr(0, equals)] = text.substr(equals + 1);
  }
  std::error_code error;
  home.record("fake-codex-invocations.jsonl", Json{{"arguments", arguments},
                                                   {"environment", environment},
                                                   {"workingDirectory", std::filesystem::current_path(error).string()},
                                                   {"descriptors", openDescriptors()},
                                                   {"pid", getpid()},
                                                   {"parentPid", getppid()},
                                                   {"processGroup", getpgrp()},
                                                   {"children", children},
                                                   {"configToml", home.readText("config.toml").value_or("")}});
}

// Whether a "-c key=value" override is well-formed; the values are accepted and otherwise ignored.
bool validOverride(const std::string& text) { return text.find('=') != std::string::npos && text[0] != '='; }

int run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  size_t at = 0;
  auto overrideAt = [&](const std::string& usage, int& status) {
    if (at + 1 >= args.size()) {
      status = usageError("a value is required for '--config <key=value>' but none was supplied", usage);
      return false;
    }
    if (!validOverride(args[at + 1])) {
      std::fprintf(stderr, "Error: Invalid override (missing '='): %s\n", args[at + 1].c_str());
      status = 1;
      return false;
    }
    at += 2;
    return true;
  };
  int status = 0;
  const std::string topUsage = "codex [OPTIONS] [PROMPT]\n       codex [OPTIONS] <COMMAND> [ARGS]";
  while (at < args.size() && (args[at] == "-c" || args[at] == "--config"))
    if (!overrideAt(topUsage, status)) return status;
  if (at >= args.size()) return usageError("fake-codex has no interactive mode; use 'app-server' or 'exec'", topUsage);
  std::string command = args[at++];
  if (command == "--version" || command == "-V") {
    std::printf("codex-cli %s\n", runtimeVersion);
    return 0;
  }

  if (command == "app-server") {
    const std::string usage = "codex app-server [OPTIONS]";
    while (at < args.size()) {
      const std::string& arg = args[at];
      if (arg == "-c" || arg == "--config") {
        if (!overrideAt(usage, status)) return status;
      } else if (arg == "--listen" || arg.rfind("--listen=", 0) == 0) {
        std::string url = arg == "--listen" ? (at + 1 < args.size() ? args[at + 1] : "") : arg.substr(9);
        if (url != "stdio://") return usageError("fake-codex listens only on stdio://, not '" + url + "'", usage);
        at += arg == "--listen" ? 2 : 1;
      } else if (arg.rfind("-", 0) == 0) {
        return usageError("unexpected argument '" + arg + "' found", usage);
      } else {
        return usageError("unrecognized subcommand '" + arg + "'", usage);
      }
    }
    FakeHome home = FakeHome::fromEnvironment();
    startAndRecord(home, argc, argv);
    AppServer server(home);
    return server.run();
  }

  if (command == "exec" || command == "e") {
    const std::string usage = "codex exec [OPTIONS] [PROMPT]";
    static const char* flags[] = {
        "--ignore-user-config", "--ignore-rules", "--ephemeral", "--skip-git-repo-check", "--json",
        "--full-auto",          "--oss"};
    static const char* valued[] = {"--sandbox", "-s", "--color", "--cd", "-C", "--model", "-m", "--profile", "-p"};
    std::string model = "gpt-5.4-mini", directory;
    bool json = false;
    std::vector<std::string> prompts;
    while (at < args.size()) {
      const std::string& arg = args[at];
      bool matched = false;
      if (arg == "-c" || arg == "--config") {
        if (!overrideAt(usage, status)) return status;
        continue;
      }
      for (const char* flag : flags)
        if (arg == flag) matched = true;
      if (matched) {
        json = json || arg == "--json";
        ++at;
        continue;
      }
      for (const char* option : valued)
        if (arg == option) matched = true;
      if (matched) {
        if (at + 1 >= args.size())
          return usageError("a value is required for '" + arg + "' but none was supplied", usage);
        if (arg == "--model" || arg == "-m") model = args[at + 1];
        if (arg == "--cd" || arg == "-C") directory = args[at + 1];
        at += 2;
        continue;
      }
      if (arg.rfind("-", 0) == 0 && arg != "-") return usageError("unexpected argument '" + arg + "' found", usage);
      prompts.push_back(arg);
      ++at;
    }
    if (prompts.size() != 1)
      return usageError(prompts.empty() ? "fake-codex needs the prompt as an argument"
                                        : "unexpected argument '" + prompts[1] + "' found",
                        usage);
    if (!json) return usageError("fake-codex prints only the --json event stream", usage);
    if (!directory.empty() && chdir(directory.c_str()) != 0) {
      std::fprintf(stderr, "Error: failed to change to %s: %s\n", directory.c_str(), std::strerror(errno));
      return 1;
    }
    FakeHome home = FakeHome::fromEnvironment();
    startAndRecord(home, argc, argv);
    return runExec(home, model);
  }

  if (command.rfind("-", 0) == 0) return usageError("unexpected argument '" + command + "' found", topUsage);
  return usageError("unrecognized subcommand '" + command + "'", topUsage);
}

}  // namespace
}  // namespace corvane::fakecodex

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  try {
    return corvane::fakecodex::run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
}
