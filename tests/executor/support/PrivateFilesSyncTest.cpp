// Whether atomic writes reach the disk is invisible to a running process, so
// this test stands in for fsync itself: the program's own definition wins
// over the C library's for every call the executor's code makes.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <utility>

#include "executor/support/CVError.h"
#include "executor/support/PrivateFiles.h"
#include "support/TemporaryDirectory.h"

namespace {

std::mutex syncLock;
std::set<std::pair<dev_t, ino_t>> syncedDirectories;
bool failDirectorySync = false;

}  // namespace

extern "C" int fsync(int fd) {
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    std::lock_guard lock(syncLock);
    if (failDirectorySync) {
      errno = EIO;
      return -1;
    }
    syncedDirectories.emplace(info.st_dev, info.st_ino);
  }
  return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace corvane {
namespace {

namespace fs = std::filesystem;

std::pair<dev_t, ino_t> identity(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0);
  return {info.st_dev, info.st_ino};
}

bool wasSynced(const fs::path& directory) {
  std::lock_guard lock(syncLock);
  return syncedDirectories.count(identity(directory)) == 1;
}

TEST(PrivateFilesSyncTest, TheRenameIsMadeDurableWithItsDirectory) {
  test::TemporaryDirectory temp;
  fs::create_directory(temp / "data");
  atomicPrivateJSON({{"deviceId", "d"}}, temp / "data/coordinator.json");
  EXPECT_TRUE(wasSynced(temp / "data"));
  EXPECT_FALSE(wasSynced(temp.path()));
}

TEST(PrivateFilesSyncTest, AFailedDirectorySyncIsAFailedWrite) {
  test::TemporaryDirectory temp;
  {
    std::lock_guard lock(syncLock);
    failDirectorySync = true;
  }
  try {
    atomicPrivateFile("x", temp / "file");
    ADD_FAILURE() << "no error";
  } catch (const CVError& error) {
    EXPECT_EQ(error.kind(), CVError::Kind::storage);
  }
  std::lock_guard lock(syncLock);
  failDirectorySync = false;
}

}  // namespace
}  // namespace corvane
