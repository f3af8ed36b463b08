#include "tools/fake-codex/LineClient.h"

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

namespace corvane::test {

namespace {
double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}
}  // namespace

LineClient::LineClient(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                       const std::map<std::string, std::string>& environment) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC)) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);  // nothing of the test's own reaches the child
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);

  std::vector<std::string> argvStrings = {program.string()};
  argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& s : argvStrings) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : environment) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  int spawned = posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  output_ = out[0];
  if (spawned != 0) {
    close(input_);
    close(output_);
    throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(spawned));
  }
}

LineClient::~LineClient() {
  closeInput();
  if (output_ >= 0) close(output_);
  if (pid_ > 0) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void LineClient::send(const std::string& line) {
  std::string bytes = line + "\n";
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(input_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("write to child failed");
    done += static_cast<size_t>(n);
  }
}

void LineClient::closeInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

std::optional<std::string> LineClient::receive(double timeoutSeconds) {
  double deadline = now() + timeoutSeconds;
  for (;;) {
    if (auto newline = pending_.find('\n'); newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return line;
    }
    if (ended_) return std::nullopt;
    double remaining = deadline - now();
    if (remaining <= 0) return std::nullopt;
    pollfd fd{output_, POLLIN, 0};
    int ready = poll(&fd, 1, static_cast<int>(remaining * 1000) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[65536];
    ssize_t n = read(output_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended_ = true;
      continue;
    }
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

bool LineClient::endsWithin(double timeoutSeconds) {
  if (receive(timeoutSeconds)) return false;
  return ended_;
}

int LineClient::wait() {
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace corvane::test
