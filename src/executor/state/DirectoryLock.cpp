#include "executor/state/DirectoryLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "executor/support/CVError.h"
#include "executor/support/DataDirectory.h"
#include "platform/Clock.h"

namespace corvane {

DirectoryLock::DirectoryLock(const std::filesystem::path& directory) {
  std::filesystem::path file = directory / DataDirectory::executorLock;
  // Non-blocking so that a FIFO planted at the path cannot hold the open.
  int fd = open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) throw CVError::storage();
  struct stat info {};
  int flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    throw CVError::storage();
  }
  fd_ = fd;
}

DirectoryLock::~DirectoryLock() {
  if (fd_ >= 0) close(fd_);
}

DirectoryLock::DirectoryLock(DirectoryLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), locked_(std::exchange(other.locked_, false)) {}

DirectoryLock& DirectoryLock::operator=(DirectoryLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    locked_ = std::exchange(other.locked_, false);
  }
  return *this;
}

bool DirectoryLock::tryLock() {
  if (locked_) return true;
  for (;;) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return locked_ = true;
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return false;
    throw CVError::storage();
  }
}

bool DirectoryLock::lockBefore(double deadline) {
  // Polling keeps the wait bounded without a signal to interrupt flock; the
  // holders are short commands, so the interval is small.
  constexpr timespec interval{0, 20'000'000};
  for (;;) {
    if (tryLock()) return true;
    if (platform::continuousSeconds() >= deadline) return false;
    nanosleep(&interval, nullptr);
  }
}

}  // namespace corvane
