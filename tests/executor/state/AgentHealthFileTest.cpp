#include "executor/state/AgentHealthFile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "executor/support/PrivateFiles.h"
#include "support/ManualClock.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

AgentHealth withState(AgentHealthState state) {
  AgentHealth health;
  health.state = state;
  return health;
}

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::vector<std::string> entries(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class AgentHealthFileTest : public ::testing::Test {
 protected:
  test::TemporaryDirectory directory;
  fs::path path = directory / "agent-health.json";
  AgentHealthFile file{path};
};

TEST_F(AgentHealthFileTest, WritesTheWholeRecordPrivatelyAndReadsItBack) {
  auto before = std::chrono::system_clock::now();
  AgentHealth health{
      AgentHealthState::online, WallTime{} + 1769847300s, std::nullopt, false, false, std::nullopt, false};
  file.write(health);

  struct stat info {};
  ASSERT_EQ(lstat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  auto written = Json::parse(contents(path));
  EXPECT_EQ(written.size(), 8u);
  EXPECT_EQ(written["lastHeartbeatAt"], "2026-01-31T08:15:00Z");
  EXPECT_TRUE(written["lastErrorCode"].is_null());
  EXPECT_TRUE(written["updatePreparationID"].is_null());

  auto published = file.read();
  ASSERT_TRUE(published);
  EXPECT_EQ(published->health, health);
  EXPECT_GE(published->updatedAt, std::chrono::floor<std::chrono::seconds>(before));
  EXPECT_LE(published->updatedAt, std::chrono::system_clock::now());
  EXPECT_EQ(entries(directory.path()), std::vector<std::string>{"agent-health.json"});
}

TEST_F(AgentHealthFileTest, StampsEachRecordWithTheClocksWallTime) {
  test::ManualClock clock(WallTime{} + 1769847300s + 750ms);  // 2026-01-31T08:15:00.75Z
  AgentHealthFile stamped(path, clock);
  stamped.write(withState(AgentHealthState::offline));
  EXPECT_EQ(Json::parse(contents(path))["updatedAt"], "2026-01-31T08:15:00Z");
  clock.advance(90s);
  stamped.write(withState(AgentHealthState::online));
  EXPECT_EQ(Json::parse(contents(path))["updatedAt"], "2026-01-31T08:16:30Z");
  ASSERT_TRUE(stamped.read());
  EXPECT_EQ(stamped.read()->updatedAt, WallTime{} + 1769847390s);
}

// The write is cut off part-way, as on a full disk: the caller carries on and
// readers still find the previous record, whole. A file-size limit makes the
// write fail even for root, which permission bits would not stop.
TEST_F(AgentHealthFileTest, FailedWriteLeavesThePreviousFileWhole) {
  file.write(withState(AgentHealthState::online));
  std::string previous = contents(path);
  ASSERT_LT(previous.size(), 1024u);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit limit{1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_IGN);
    AgentHealth large = withState(AgentHealthState::storageError);
    large.updatePreparationID = std::string(4096, 'A');
    file.write(large);  // must return, not throw or crash
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  EXPECT_EQ(contents(path), previous);
  EXPECT_EQ(entries(directory.path()), std::vector<std::string>{"agent-health.json"}) << "a temp file was left";
  ASSERT_TRUE(file.read());
  EXPECT_EQ(file.read()->health.state, AgentHealthState::online);
}

TEST_F(AgentHealthFileTest, WriteIntoAMissingDirectoryDoesNotFailTheCaller) {
  AgentHealthFile nowhere(directory / "absent" / "agent-health.json");
  nowhere.write(AgentHealth{});
  EXPECT_FALSE(fs::exists(directory / "absent"));
  EXPECT_FALSE(nowhere.read());
}

TEST_F(AgentHealthFileTest, ReadsOnlyASmallRegularFile) {
  test::TemporaryDirectory elsewhere;
  AgentHealthFile real(elsewhere / "agent-health.json");
  real.write(withState(AgentHealthState::online));

  struct Case {
    const char* name;
    std::function<void()> plant;
  } cases[] = {
      {"symbolic link to a valid record", [&] { fs::create_symlink(real.path(), path); }},
      {"directory", [&] { fs::create_directory(path); }},
      {"larger than a status file",
       [&] {
         std::string record = contents(real.path());
         record.insert(record.size() - 1, ",\"padding\":\"" + std::string(statusFileLimit, ' ') + "\"");
         std::ofstream(path) << record;
       }},
      {"truncated", [&] { std::ofstream(path) << contents(real.path()).substr(0, 40); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(path);
    c.plant();
    EXPECT_FALSE(file.read());
  }
}

// Writers in several threads and a reader at the same time: every read sees
// a whole record, and the file ends with one of the written ones.
TEST_F(AgentHealthFileTest, ConcurrentWritersNeverExposeAPartialFile) {
  file.write(AgentHealth{});
  std::atomic<bool> done{false};
  std::atomic<int> partial{0};
  std::thread reader([&] {
    while (!done)
      if (!file.read()) ++partial;
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t)
    writers.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        AgentHealth health = withState(AgentHealthState::online);
        health.updatePreparationID = std::to_string(t) + "-" + std::to_string(i);
        file.write(health);
      }
    });
  for (auto& writer : writers) writer.join();
  done = true;
  reader.join();
  EXPECT_EQ(partial, 0);
  ASSERT_TRUE(file.read());
  EXPECT_EQ(file.read()->health.updatePreparationID.value_or("").substr(1), "-19");
  EXPECT_EQ(entries(directory.path()), std::vector<std::string>{"agent-health.json"});
}

}  // namespace
}  // namespace corvane
