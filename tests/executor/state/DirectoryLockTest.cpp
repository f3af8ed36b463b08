#include "executor/state/DirectoryLock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "executor/support/CVError.h"
#include "platform/Clock.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

class DirectoryLockTest : public ::testing::Test {
 protected:
  test::TemporaryDirectory directory;
  fs::path file = directory / "executor.lock";
};

TEST_F(DirectoryLockTest, OneHolderAtATime) {
  DirectoryLock first(directory.path());
  EXPECT_FALSE(first.isLocked());
  ASSERT_TRUE(first.tryLock());
  struct stat info {};
  ASSERT_EQ(lstat(file.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  // Another open file of the same lock, as another process would have.
  DirectoryLock second(directory.path());
  EXPECT_FALSE(second.tryLock());
  EXPECT_FALSE(second.lockBefore(platform::continuousSeconds() - 1));
  EXPECT_FALSE(second.isLocked());

  // A waiter gets the lock once the holder lets go.
  DirectoryLock moved = std::move(first);
  std::thread waiter([&] { EXPECT_TRUE(second.lockBefore(platform::continuousSeconds() + 60)); });
  { DirectoryLock released = std::move(moved); }
  waiter.join();
  EXPECT_TRUE(second.isLocked());
  EXPECT_FALSE(DirectoryLock(directory.path()).tryLock());
}

TEST_F(DirectoryLockTest, RefusesAnythingButARegularFile) {
  fs::path elsewhere = directory / "elsewhere";
  { std::ofstream(elsewhere) << "not a lock"; }
  struct Case {
    std::string name;
    void (*plant)(const fs::path& file, const fs::path& elsewhere);
  };
  const Case cases[] = {
      {"link to a file", [](const fs::path& f, const fs::path& e) { fs::create_symlink(e, f); }},
      {"dangling link", [](const fs::path& f, const fs::path& e) { fs::create_symlink(e.string() + "-absent", f); }},
      {"directory", [](const fs::path& f, const fs::path&) { fs::create_directory(f); }},
      {"FIFO", [](const fs::path& f, const fs::path&) { ASSERT_EQ(mkfifo(f.c_str(), 0600), 0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.plant(file, elsewhere);
    try {
      DirectoryLock lock(directory.path());
      ADD_FAILURE() << "opened";
    } catch (const CVError& error) {
      EXPECT_EQ(error, CVError::storage());
    }
    fs::remove(file);
  }
  EXPECT_FALSE(fs::exists(elsewhere.string() + "-absent"));
  std::ifstream stream(elsewhere);
  std::string contents((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  EXPECT_EQ(contents, "not a lock");
}

}  // namespace
}  // namespace corvane
