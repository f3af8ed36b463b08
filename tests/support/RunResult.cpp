#include "support/RunResult.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace corvane::test {

namespace {

double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::vector<std::string> childEnvironment(const RunOptions& options) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    auto equals = text.find('=');
    if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : options.environment) {
    if (value)
      variables[name] = *value;
    else
      variables.erase(name);
  }
  std::vector<std::string> list;
  for (const auto& [name, value] : variables) list.push_back(name + "=" + value);
  return list;
}

}  // namespace

RunResult runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                     const RunOptions& options) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  if (options.closeOutput)
    posix_spawn_file_actions_addclose(&actions, 1);
  else if (options.outputFile)
    posix_spawn_file_actions_addopen(&actions, 1, options.outputFile->c_str(), O_WRONLY, 0);
  else
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  if (options.workingDirectory) posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory->c_str());

  std::vector<std::string> argv_strings = {program.string()};
  argv_strings.insert(argv_strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  auto env_strings = childEnvironment(options);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(spawned));
  }

  // Feed input and drain both outputs together so no pipe fills up.
  RunResult result;
  std::string_view input = options.input;
  int inFd = in[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  signal(SIGPIPE, SIG_IGN);
  double deadline = now() + options.timeoutSeconds;
  bool killed = false;
  int open = 2;
  int fds[2] = {out[0], err[0]};
  while (open > 0 || inFd >= 0) {
    pollfd polls[3];
    int count = 0;
    for (int fd : fds)
      if (fd >= 0) polls[count++] = {fd, POLLIN, 0};
    if (inFd >= 0) polls[count++] = {inFd, POLLOUT, 0};
    int left = static_cast<int>((deadline - now()) * 1000);
    if (left <= 0) {
      if (killed) break;  // a descendant still holds the pipes open
      kill(pid, SIGKILL);
      killed = true;
      deadline = now() + 5;
      continue;
    }
    if (poll(polls, static_cast<nfds_t>(count), left) < 0 && errno != EINTR) break;
    for (int i = 0; i < count; ++i) {
      if (!polls[i].revents) continue;
      int fd = polls[i].fd;
      if (fd == inFd) {
        ssize_t n = write(fd, input.data(), input.size());
        if (n > 0) input.remove_prefix(static_cast<size_t>(n));
        if (n < 0 || input.empty()) {
          close(inFd);
          inFd = -1;
        }
        continue;
      }
      char buffer[65536];
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) {
        (fd == out[0] ? result.out : result.err).append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fd);
        for (int& f : fds)
          if (f == fd) f = -1;
        --open;
      }
    }
  }
  if (inFd >= 0) close(inFd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace corvane::test
