#include "support/ProcessGroups.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

namespace corvane::test {

namespace fs = std::filesystem;

namespace {

double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void pause(double seconds) {
  timespec t{0, static_cast<long>(seconds * 1e9)};
  nanosleep(&t, nullptr);
}

std::optional<pid_t> parsePid(std::string_view text) {
  pid_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The whole of a small /proc file; empty when the process went away while
// it was read (streams would throw then).
std::string readProcFile(const fs::path& path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  ssize_t count;
  while ((count = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(count));
  ::close(fd);
  return count < 0 ? std::string() : text;
}

std::optional<fs::path> ledgerDirectory() {
  const char* directory = std::getenv("CORVANE_PROCESS_LEDGER");
  if (!directory || directory[0] == '\0') return std::nullopt;
  return fs::path(directory);
}

}  // namespace

std::vector<ProcessEntry> listProcesses() {
  std::vector<ProcessEntry> processes;
  std::error_code error;
  for (auto entry = fs::directory_iterator("/proc", error); !error && entry != fs::directory_iterator();
       entry.increment(error)) {
    auto pid = parsePid(entry->path().filename().string());
    if (!pid) continue;
    std::string stat = readProcFile(entry->path() / "stat");
    // The command name in parentheses may itself hold spaces and ")".
    auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 1));
    ProcessEntry process;
    process.pid = *pid;
    fields >> process.state >> process.parent >> process.group;
    if (!fields) continue;
    std::string arguments = readProcFile(entry->path() / "cmdline");
    for (char& c : arguments)
      if (c == '\0') c = ' ';
    process.commandLine = arguments;
    processes.push_back(process);
  }
  return processes;
}

std::vector<ProcessEntry> livingMembers(pid_t group) {
  std::vector<ProcessEntry> members;
  for (const auto& process : listProcesses())
    if (process.group == group && process.state != 'Z' && process.state != 'X') members.push_back(process);
  return members;
}

bool waitUntilGroupGone(pid_t group, double timeoutSeconds) {
  double end = now() + timeoutSeconds;
  while (!livingMembers(group).empty()) {
    if (now() > end) return false;
    pause(0.01);
  }
  return true;
}

std::optional<int> waitForChild(pid_t pid, double timeoutSeconds) {
  double end = now() + timeoutSeconds;
  while (true) {
    int status = 0;
    pid_t result = waitpid(pid, &status, WNOHANG);
    if (result == pid) return status;
    if (result < 0 && errno != EINTR) return std::nullopt;
    if (now() > end) return std::nullopt;
    pause(0.005);
  }
}

void recordProcessGroup(pid_t group) {
  auto directory = ledgerDirectory();
  if (!directory) return;
  std::error_code error;
  fs::create_directories(*directory, error);
  fs::path entry = *directory / std::to_string(group);
  int fd = open(entry.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    ADD_FAILURE() << "process group " << group << " could not be recorded in " << entry << ": " << std::strerror(errno);
    return;
  }
  ::close(fd);
}

std::optional<std::vector<pid_t>> recordedProcessGroups() {
  auto directory = ledgerDirectory();
  if (!directory) return std::nullopt;
  std::vector<pid_t> groups;
  std::error_code error;
  for (auto entry = fs::directory_iterator(*directory, error); !error && entry != fs::directory_iterator();
       entry.increment(error))
    if (auto pid = parsePid(entry->path().filename().string())) groups.push_back(*pid);
  return groups;
}

}  // namespace corvane::test
