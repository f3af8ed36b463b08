#pragma once

#include <filesystem>

namespace corvane {

// The exclusive advisory lock (flock) on a data directory's executor.lock
// (DataDirectory::executorLock), the one file that every process which must
// not overlap another on the directory locks: the background executor for its
// whole life, prepare-repair while it retires a pairing, and the pairing
// commands from their last check to the written pairing. The lock belongs to
// the open file, so it is released when the object goes away or the process
// ends, however it ends.
//
// Move-only; one object is used by one thread at a time.
class DirectoryLock {
 public:
  // Opens directory/executor.lock for reading and writing, creating it with
  // mode 0600; a symbolic link or anything but a regular file in its place is
  // refused, never followed or waited on. Does not lock yet. CVError.storage
  // when the file cannot be opened so.
  explicit DirectoryLock(const std::filesystem::path& directory);
  ~DirectoryLock();
  DirectoryLock(DirectoryLock&& other) noexcept;
  DirectoryLock& operator=(DirectoryLock&& other) noexcept;
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  // Takes the lock unless another open file of executor.lock (in this
  // process or another) holds it; false then. Never waits. CVError.storage
  // when the system refuses to lock at all.
  bool tryLock();

  // Waits for the lock until deadline, a reading of
  // platform::continuousSeconds(); false when the deadline passes first.
  bool lockBefore(double deadline);

  bool isLocked() const { return locked_; }

  // The open descriptor, for a helper process that must keep the directory
  // guarded as long as it runs.
  int descriptor() const { return fd_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
};

}  // namespace corvane
