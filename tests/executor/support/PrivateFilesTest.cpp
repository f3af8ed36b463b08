#include "executor/support/PrivateFiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "executor/support/CVError.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::TemporaryDirectory;

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  lstat(path.c_str(), &info);
  return info.st_mode & 07777;
}

std::string contents(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), {}};
}

size_t entryCount(const fs::path& directory) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(directory)) ++count;
  return count;
}

void expectStorageError(const std::function<void()>& body) {
  try {
    body();
    ADD_FAILURE() << "no error";
  } catch (const CVError& error) {
    EXPECT_EQ(error.kind(), CVError::Kind::storage);
  }
}

TEST(PrivateFilesTest, PrivateDirectoryCreatesNarrowsAndRefuses) {
  TemporaryDirectory temp;
  fs::path nested = temp / "a/b/c";
  privateDirectory(nested);
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_EQ(modeOf(nested), 0700u);
  // Parents it had to create are as private, whatever the umask.
  EXPECT_EQ(modeOf(temp / "a"), 0700u);
  EXPECT_EQ(modeOf(temp / "a/b"), 0700u);

  fs::path wide = temp / "wide";
  fs::create_directory(wide);
  chmod(wide.c_str(), 0755);
  privateDirectory(wide);
  EXPECT_EQ(modeOf(wide), 0700u);

  fs::create_directory_symlink(wide, temp / "link");
  expectStorageError([&] { privateDirectory(temp / "link"); });
  fs::create_symlink(temp / "nowhere", temp / "dangling");
  expectStorageError([&] { privateDirectory(temp / "dangling"); });
  EXPECT_FALSE(fs::exists(temp / "nowhere"));
  std::ofstream(temp / "file") << "x";
  expectStorageError([&] { privateDirectory(temp / "file"); });
}

TEST(PrivateFilesTest, PrivateDirectoryNeverNarrowsThroughALinkSwappedIn) {
  TemporaryDirectory temp;
  fs::path victim = temp / "victim";
  fs::create_directory(victim);
  chmod(victim.c_str(), 0755);
  fs::path spot = temp / "spot";
  fs::path other = temp / "other";
  fs::create_directory(spot);
  fs::create_directory_symlink(victim, other);

  // Another process trades a real directory at spot for a link, and back,
  // while privateDirectory checks and narrows spot.
  std::atomic<bool> done = false;
  std::thread swapper([&] {
    while (!done) renameat2(AT_FDCWD, spot.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
  });
  for (int i = 0; i < 20000 && modeOf(victim) == 0755; ++i) {
    try {
      privateDirectory(spot);
    } catch (const CVError&) {
    }
  }
  done = true;
  swapper.join();
  EXPECT_EQ(modeOf(victim), 0755u);
}

TEST(PrivateFilesTest, CanonicalDirectoryResolvesLinks) {
  TemporaryDirectory temp;
  fs::create_directories(temp / "real/sub");
  fs::create_directory_symlink(temp / "real", temp / "alias");
  EXPECT_EQ(canonicalDirectory(temp / "alias/sub/../sub"), temp / "real/sub");
  expectStorageError([&] { canonicalDirectory(temp / "missing"); });
}

TEST(PrivateFilesTest, AtomicJSONWritesACompactPrivateFile) {
  TemporaryDirectory temp;
  fs::path file = temp / "coordinator.json";
  atomicPrivateJSON({{"url", "https://x.test/a"}, {"deviceId", "d"}, {"developmentLoopback", false}}, file);
  EXPECT_EQ(contents(file), R"({"developmentLoopback":false,"deviceId":"d","url":"https://x.test/a"})");
  EXPECT_EQ(modeOf(file), 0600u);
  atomicPrivateJSON({{"replaced", true}}, file);
  EXPECT_EQ(contents(file), R"({"replaced":true})");
  EXPECT_EQ(entryCount(temp.path()), 1u);
}

TEST(PrivateFilesTest, AtomicJSONReplacesAPlantedLinkWithoutTouchingItsTarget) {
  TemporaryDirectory temp;
  fs::path target = temp / "victim";
  std::ofstream(target) << "precious";
  fs::create_symlink(target, temp / "health.json");
  atomicPrivateJSON({{"a", 1}}, temp / "health.json");
  EXPECT_FALSE(fs::is_symlink(temp / "health.json"));
  EXPECT_EQ(contents(temp / "health.json"), R"({"a":1})");
  EXPECT_EQ(contents(target), "precious");
}

TEST(PrivateFilesTest, InvalidValuesFailBeforeAnyFileIsCreated) {
  TemporaryDirectory temp;
  const Json bad[] = {Json::array({1}), Json("text"), Json{{"n", std::nan("")}}, Json{{"s", "\xFF"}}};
  for (const auto& value : bad) {
    try {
      atomicPrivateJSON(value, temp / "out.json");
      ADD_FAILURE() << value.type_name();
    } catch (const CVError& error) {
      EXPECT_STREQ(error.what(), "Invalid JSON");
    }
  }
  EXPECT_EQ(entryCount(temp.path()), 0u);
}

TEST(PrivateFilesTest, FailedWritesLeaveNoTempFileAndTheOldContent) {
  TemporaryDirectory temp;
  // Renaming a file over a non-empty directory fails even for root.
  fs::create_directories(temp / "occupied/child");
  expectStorageError([&] { atomicPrivateJSON({{"a", 1}}, temp / "occupied"); });
  EXPECT_EQ(entryCount(temp.path()), 1u);
  EXPECT_TRUE(fs::is_directory(temp / "occupied/child"));
  // A missing directory: nothing to create the temp file in.
  expectStorageError([&] { atomicPrivateFile("x", temp / "absent/file"); });
  EXPECT_EQ(entryCount(temp.path()), 1u);
}

TEST(PrivateFilesTest, BoundedReadsTakeOnlyRegularFiles) {
  TemporaryDirectory temp;
  std::ofstream(temp / "small") << std::string(10, 'x');
  std::ofstream(temp / "big") << std::string(11, 'x');
  fs::create_symlink(temp / "small", temp / "link");
  fs::create_directory(temp / "dir");
  mkfifo((temp / "fifo").c_str(), 0600);

  EXPECT_EQ(readPrivateFile(temp / "small", 10), std::string(10, 'x'));
  EXPECT_FALSE(readPrivateFile(temp / "big", 10));
  EXPECT_FALSE(readPrivateFile(temp / "link", 10));
  EXPECT_FALSE(readPrivateFile(temp / "dir", 10));
  EXPECT_FALSE(readPrivateFile(temp / "fifo", 10));  // must not block
  EXPECT_FALSE(readPrivateFile(temp / "missing", 10));

  // A file may hold more than its size said when it was opened; what it
  // holds is read, up to the limit and no further.
  std::string status = readPrivateFile("/proc/self/status", 1 << 20).value_or("");
  EXPECT_NE(status.find("\nPid:"), std::string::npos) << "a size of 0 that is not the content";
  EXPECT_FALSE(readPrivateFile("/proc/self/status", 8));

  std::ofstream(temp / "array.json") << "[1]";
  std::ofstream(temp / "object.json") << R"({"a":1})";
  EXPECT_FALSE(readJSONObjectFile(temp / "array.json", 100));
  EXPECT_FALSE(readJSONObjectFile(temp / "small", 100));
  EXPECT_EQ(readJSONObjectFile(temp / "object.json", 100), (Json{{"a", 1}}));
}

}  // namespace
}  // namespace corvane
