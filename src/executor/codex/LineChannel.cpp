#include "executor/codex/LineChannel.h"

#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "executor/support/CVError.h"
#include "platform/Clock.h"

namespace corvane {

namespace {

// Writes everything with SIGPIPE blocked in this thread, and takes back a
// SIGPIPE the write raised, so a child that went away is an error to report,
// not a signal that ends the executor.
bool writeAll(int fd, std::string_view bytes) {
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  sigset_t pendingBefore;
  sigpending(&pendingBefore);
  bool alreadyPending = sigismember(&pendingBefore, SIGPIPE) == 1;

  bool complete = true;
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 1) {
      if (errno == EPIPE && !alreadyPending) {
        timespec immediately{0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &immediately) < 0 && errno == EINTR) {
        }
      }
      complete = false;
      break;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return complete;
}

}  // namespace

void LineChannel::writeLine(std::string_view line) {
  if (line.size() + 1 > lineLimit) throw CVError::runtime("protocol_error");
  if (input_ < 0) throw CVError::runtime("runtime_closed");
  std::string bytes;
  bytes.reserve(line.size() + 1);
  bytes.append(line);
  bytes.push_back('\n');
  if (!writeAll(input_, bytes)) throw CVError::runtime("runtime_closed");
}

std::string LineChannel::readLine(double deadline) {
  size_t newline;
  while ((newline = pending_.find('\n', scanned_)) == std::string::npos) {
    scanned_ = pending_.size();
    if (pending_.size() > lineLimit) throw CVError::runtime("protocol_error");
    double remaining = deadline - platform::continuousSeconds();
    if (remaining <= 0) throw CVError::timeout();
    if (output_ < 0) throw CVError::runtime("runtime_closed");
    pollfd event{output_, POLLIN, 0};
    int wait = static_cast<int>(std::ceil(std::min(remaining, waitStep) * 1000));
    int ready = poll(&event, 1, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw CVError::runtime("runtime_closed");
    }
    if (ready == 0) continue;
    char buffer[readSize];
    ssize_t count;
    while ((count = read(output_, buffer, sizeof buffer)) < 0 && errno == EINTR) {
    }
    if (count < 1) throw CVError::runtime("runtime_closed");
    pending_.append(buffer, static_cast<size_t>(count));
  }
  std::string line = pending_.substr(0, newline);
  pending_.erase(0, newline + 1);
  scanned_ = 0;
  if (line.size() > lineLimit) throw CVError::runtime("protocol_error");
  return line;
}

void LineChannel::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

void LineChannel::close() {
  closeInput();
  if (output_ >= 0) ::close(output_);
  output_ = -1;
  pending_.clear();
  scanned_ = 0;
}

}  // namespace corvane
