#include "executor/cli/SecretInput.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace corvane {

namespace {

// The terminal state to put back if a signal ends the process mid-line;
// otherwise the user's shell would be left without echo.
termios savedAttributes;
volatile sig_atomic_t echoDisabled = 0;
constexpr int restoredSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void restoreAndReraise(int signal) {
  if (echoDisabled) tcsetattr(STDIN_FILENO, TCSANOW, &savedAttributes);
  std::signal(signal, SIG_DFL);
  raise(signal);
}

void writeAll(const std::string& text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t written = write(STDERR_FILENO, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= static_cast<size_t>(written);
  }
}

// A line longer than any code or token is no input of ours; as an empty
// line it is refused like one.
std::string readLine() { return readInputLine(65536).value_or(""); }

std::string trimmed(const std::string& text) {
  constexpr const char* space = " \t\r\n\v\f";
  size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

}  // namespace

std::string secretInput(const std::string& prompt) {
  if (!prompt.empty()) writeAll(prompt);

  std::string line;
  termios attributes{};
  if (tcgetattr(STDIN_FILENO, &attributes) == 0) {
    savedAttributes = attributes;
    struct sigaction previous[std::size(restoredSignals)] = {};
    struct sigaction action = {};
    action.sa_handler = restoreAndReraise;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(restoredSignals); ++i) sigaction(restoredSignals[i], &action, &previous[i]);

    termios silent = attributes;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    echoDisabled = tcsetattr(STDIN_FILENO, TCSANOW, &silent) == 0;
    line = readLine();
    if (echoDisabled) tcsetattr(STDIN_FILENO, TCSANOW, &savedAttributes);
    echoDisabled = 0;
    for (size_t i = 0; i < std::size(restoredSignals); ++i) sigaction(restoredSignals[i], &previous[i], nullptr);
  } else {
    line = readLine();
  }

  writeAll("\n");
  return trimmed(line);
}

std::optional<std::string> readInputLine(size_t limit) {
  std::string line;
  char byte = 0;
  for (;;) {
    ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || byte == '\n') break;
    if (line.size() == limit) return std::nullopt;
    line += byte;
  }
  return line;
}

}  // namespace corvane
