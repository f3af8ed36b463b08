#include "platform/CapturedRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/ChildProcess.h"
#include "platform/Clock.h"

namespace corvane::platform {
namespace {

// Writes what it can of data to a non-blocking pipe with SIGPIPE held back on
// this thread, so that a reader that has gone makes the write fail with
// EPIPE instead of ending the whole program. A SIGPIPE the write raised is
// taken off the thread again before the mask is restored.
ssize_t writeWithoutSigpipe(int fd, const char* data, std::size_t size) {
  sigset_t pipeOnly, previous;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  sigset_t pendingBefore;
  sigpending(&pendingBefore);
  bool wasPending = sigismember(&pendingBefore, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
  ssize_t written = write(fd, data, size);
  int error = errno;
  if (written < 0 && error == EPIPE && !wasPending) {
    timespec zero{0, 0};
    while (sigtimedwait(&pipeOnly, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return written;
}

struct Stream {
  int fd = -1;
  std::string* kept = nullptr;
};

// Reads what is there; false at end of file or on an error.
bool readSome(Stream& stream, std::size_t cap) {
  char chunk[4096];
  ssize_t got = read(stream.fd, chunk, sizeof chunk);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (got <= 0) return false;
  std::size_t room = cap > stream.kept->size() ? cap - stream.kept->size() : 0;
  stream.kept->append(chunk, std::min(room, static_cast<std::size_t>(got)));
  return true;
}

int openPidDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

}  // namespace

bool CapturedRunResult::exitedWithZero() const {
  return outcome == Outcome::finished && WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0;
}

CapturedRunResult runCaptured(const CapturedRunPlan& plan) {
  CapturedRunResult result;
  SpawnPlan spawn;
  spawn.program = plan.program;
  spawn.arguments.push_back(plan.program.string());
  spawn.arguments.insert(spawn.arguments.end(), plan.arguments.begin(), plan.arguments.end());
  spawn.environment = plan.environment;
  spawn.descriptors = {ChildDescriptor::pipeToChild(), ChildDescriptor::pipeFromChild(),
                       ChildDescriptor::pipeFromChild(), ChildDescriptor::closed()};
  std::optional<ChildProcess> child = ChildProcess::spawn(spawn);
  if (!child) return result;

  double deadline = continuousSeconds() + plan.timeout;
  int input = child->takePipe(0);
  Stream streams[2] = {{child->takePipe(1), &result.output}, {child->takePipe(2), &result.errorOutput}};
  for (Stream& stream : streams) fcntl(stream.fd, F_SETFL, fcntl(stream.fd, F_GETFL) | O_NONBLOCK);

  std::string pendingInput;
  if (plan.input) pendingInput = *plan.input;
  std::size_t inputOffset = 0;
  if (pendingInput.empty()) {
    close(input);
    input = -1;
  } else {
    fcntl(input, F_SETFL, fcntl(input, F_GETFL) | O_NONBLOCK);
  }

  // The child's end shows as a readable pid descriptor; without one, look
  // every 20 milliseconds.
  int exitSignal = openPidDescriptor(child->pid());
  bool exited = false;
  double drainDeadline = 0;
  bool timedOut = false;
  for (;;) {
    double now = continuousSeconds();
    if (!exited && child->hasExited()) {
      exited = true;
      drainDeadline = now + plan.drainGrace;
    }
    bool streamsOpen = streams[0].fd >= 0 || streams[1].fd >= 0;
    if (exited && (!streamsOpen || now >= drainDeadline)) break;
    if (!exited && now >= deadline) {
      timedOut = true;
      break;
    }
    pollfd fds[4];
    int count = 0;
    int streamSlot[2] = {-1, -1};
    for (int i = 0; i < 2; ++i)
      if (streams[i].fd >= 0) {
        streamSlot[i] = count;
        fds[count++] = {streams[i].fd, POLLIN, 0};
      }
    int inputSlot = -1;
    if (input >= 0) {
      inputSlot = count;
      fds[count++] = {input, POLLOUT, 0};
    }
    int exitSlot = -1;
    if (!exited && exitSignal >= 0) {
      exitSlot = count;
      fds[count++] = {exitSignal, POLLIN, 0};
    }
    double limit = exited ? drainDeadline : deadline;
    double wait = std::max(0.0, limit - now);
    if (!exited && exitSignal < 0) wait = std::min(wait, 0.02);
    int ready = poll(fds, count, static_cast<int>(wait * 1000) + 1);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    for (int i = 0; i < 2; ++i)
      if (streamSlot[i] >= 0 && fds[streamSlot[i]].revents != 0 && !readSome(streams[i], plan.outputCap)) {
        close(streams[i].fd);
        streams[i].fd = -1;
      }
    if (inputSlot >= 0 && fds[inputSlot].revents != 0) {
      ssize_t written =
          writeWithoutSigpipe(input, pendingInput.data() + inputOffset, pendingInput.size() - inputOffset);
      if (written > 0) inputOffset += static_cast<std::size_t>(written);
      bool failed = written < 0 && errno != EAGAIN && errno != EINTR;
      if (failed || inputOffset == pendingInput.size()) {
        close(input);
        input = -1;
      }
    }
    (void)exitSlot;
  }
  if (input >= 0) close(input);
  if (exitSignal >= 0) close(exitSignal);

  // A poll that failed outright leaves a child that may still run: it is
  // ended like one past its time rather than waited for without a bound.
  if (!exited && !timedOut && !child->hasExited()) timedOut = true;
  if (timedOut) {
    child->terminate(plan.killGrace);
    result.outcome = CapturedRunResult::Outcome::timedOut;
    double drainDeadlineAfterKill = continuousSeconds() + plan.drainGrace;
    for (Stream& stream : streams) {
      while (stream.fd >= 0) {
        double left = drainDeadlineAfterKill - continuousSeconds();
        if (left <= 0) break;
        pollfd fd{stream.fd, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left * 1000) + 1) <= 0) break;
        if (!readSome(stream, plan.outputCap)) break;
      }
    }
  } else {
    result.outcome = CapturedRunResult::Outcome::finished;
    result.waitStatus = child->wait(continuousSeconds() + 3600).value_or(0);
  }
  for (Stream& stream : streams)
    if (stream.fd >= 0) close(stream.fd);
  return result;
}

}  // namespace corvane::platform
