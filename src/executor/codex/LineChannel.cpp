#include "executor/codex/LineChannel.h"

#include <fcntl.h>
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

enum class WriteEnd { complete, broken, timedOut };

// Writes everything to the non-blocking fd before deadline, counting what
// was written into written. SIGPIPE is blocked in this thread meanwhile and
// a SIGPIPE the write raised is taken back, so a child that went away is an
// error to report, not a signal that ends the executor.
WriteEnd writeAll(int fd, std::string_view bytes, double deadline, size_t& written) {
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  sigset_t pendingBefore;
  sigpending(&pendingBefore);
  bool alreadyPending = sigismember(&pendingBefore, SIGPIPE) == 1;

  WriteEnd end = WriteEnd::complete;
  written = 0;
  while (written < bytes.size()) {
    ssize_t count = write(fd, bytes.data() + written, bytes.size() - written);
    if (count > 0) {
      written += static_cast<size_t>(count);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The pipe is full. A hung-up reader shows as writable; the next write
      // then reports it.
      double remaining = deadline - platform::continuousSeconds();
      if (remaining <= 0) {
        end = WriteEnd::timedOut;
        break;
      }
      pollfd event{fd, POLLOUT, 0};
      int wait = static_cast<int>(std::ceil(std::min(remaining, LineChannel::waitStep) * 1000));
      if (poll(&event, 1, wait) >= 0 || errno == EINTR) continue;
      end = WriteEnd::broken;
      break;
    }
    if (errno == EPIPE && !alreadyPending) {
      timespec immediately{0, 0};
      while (sigtimedwait(&pipeSignal, nullptr, &immediately) < 0 && errno == EINTR) {
      }
    }
    end = WriteEnd::broken;
    break;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return end;
}

}  // namespace

LineChannel::LineChannel(int inputFD, int outputFD) : input_(inputFD), output_(outputFD) {
  // Only a non-blocking write can be bounded: a blocking write larger than
  // the pipe's free space blocks even after poll has said it is writable.
  if (input_ >= 0) fcntl(input_, F_SETFL, fcntl(input_, F_GETFL) | O_NONBLOCK);
}

void LineChannel::writeLine(std::string_view line, double deadline) {
  if (line.size() + 1 > lineLimit) throw CVError::runtime("protocol_error");
  if (input_ < 0) throw CVError::runtime("runtime_closed");
  std::string bytes;
  bytes.reserve(line.size() + 1);
  bytes.append(line);
  bytes.push_back('\n');
  size_t written = 0;
  switch (writeAll(input_, bytes, deadline, written)) {
    case WriteEnd::complete:
      return;
    case WriteEnd::broken:
      throw CVError::runtime("runtime_closed");
    case WriteEnd::timedOut:
      // Part of a line is out: whatever followed would be read as its rest.
      // Ending the input gives the child end of file instead.
      if (written > 0) closeInput();
      throw CVError::timeout();
  }
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
    if (count < 1) {
      // The supervisor ends the runtime at the operation's deadline, so an
      // end of file that comes once the deadline has passed is the deadline.
      if (platform::continuousSeconds() >= deadline) throw CVError::timeout();
      throw CVError::runtime("runtime_closed");
    }
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
