#include "executor/state/PairingRecord.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "executor/support/PrivateFiles.h"
#include "support/ReadFile.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

class PairingRecordTest : public ::testing::Test {
 protected:
  test::TemporaryDirectory directory;
  fs::path file = directory / "coordinator.json";
};

// The bytes are what the tray app and older executors read, so they are
// pinned exactly: compact, keys sorted, "/" unescaped, mode 0600.
TEST_F(PairingRecordTest, WritesTheFileOthersReadAndReadsItBack) {
  EXPECT_FALSE(PairingRecord::exists(directory.path()));
  EXPECT_FALSE(PairingRecord::read(directory.path()));

  PairingRecord record{"https://coordinator.test", "device-1", "user@example.com", true};
  record.write(directory.path());
  EXPECT_EQ(test::readFile(file), R"({"developmentLoopback":true,"deviceId":"device-1","email":"user@example.com",)"
                                  R"("url":"https://coordinator.test"})");
  struct stat info {};
  ASSERT_EQ(lstat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_TRUE(PairingRecord::exists(directory.path()));
  EXPECT_FALSE(PairingRecord::isSymbolicLink(directory.path()));
  EXPECT_EQ(PairingRecord::read(directory.path()), record);
}

TEST_F(PairingRecordTest, ReadsWhatIsThereDefensively) {
  struct Case {
    std::string name;
    std::string contents;
    std::optional<PairingRecord> expected;
  };
  const std::vector<Case> cases = {
      {"not JSON", "{", std::nullopt},
      {"truncated", R"({"url":"https://coordinator.test","deviceId":"d)", std::nullopt},
      {"not an object", R"(["https://coordinator.test"])", std::nullopt},
      {"empty object", "{}", PairingRecord{}},
      {"wrongly typed members", R"({"url":5,"deviceId":null,"email":["a"],"developmentLoopback":"yes"})",
       PairingRecord{}},
      {"extra members", R"({"url":"https://c.test","deviceId":"d","later":{"x":1}})",
       PairingRecord{"https://c.test", "d", "", false}},
      {"over the size bound", R"({"url":"https://c.test","pad":")" + std::string(statusFileLimit, 'x') + R"("})",
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    atomicPrivateFile(c.contents, file);
    EXPECT_TRUE(PairingRecord::exists(directory.path()));
    EXPECT_EQ(PairingRecord::read(directory.path()), c.expected);
  }
}

// What sits in the record's place without being a record: the directory is
// taken (so no pairing replaces it), yet nothing is read through it.
TEST_F(PairingRecordTest, AnythingButARegularFileIsTakenButNotRead) {
  test::TemporaryDirectory elsewhere;
  PairingRecord{"https://coordinator.test", "device-1", "", false}.write(elsewhere.path());

  fs::create_symlink(elsewhere / "coordinator.json", file);
  EXPECT_TRUE(PairingRecord::exists(directory.path()));
  EXPECT_TRUE(PairingRecord::isSymbolicLink(directory.path()));
  EXPECT_FALSE(PairingRecord::read(directory.path())) << "followed the link";

  fs::remove(file);
  fs::create_symlink(elsewhere / "absent.json", file);
  EXPECT_TRUE(PairingRecord::exists(directory.path())) << "a dangling link";
  EXPECT_TRUE(PairingRecord::isSymbolicLink(directory.path()));
  EXPECT_FALSE(PairingRecord::read(directory.path()));

  fs::remove(file);
  fs::create_directory(file);
  EXPECT_TRUE(PairingRecord::exists(directory.path()));
  EXPECT_FALSE(PairingRecord::isSymbolicLink(directory.path()));
  EXPECT_FALSE(PairingRecord::read(directory.path()));
}

}  // namespace
}  // namespace corvane
