// Every file of the data directory that the executor or app-status reads,
// replaced in turn by a symbolic link, a FIFO, an oversized file and garbage:
// each run ends by itself within its deadline, is not killed by a signal,
// writes nothing through the link, and when it refuses, it says why in one
// line.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "executor/support/DataDirectory.h"
#include "executor/support/Json.h"
#include "reliability/AgentProcess.h"
#include "reliability/PairedDirectory.h"
#include "reliability/ReliabilityRun.h"
#include "support/ReadFile.h"
#include "support/RunResult.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::AgentProcess;
using test::eventually;
using test::readFile;

enum class Variant { link, fifo, oversized, garbage };

const char* name(Variant variant) {
  switch (variant) {
    case Variant::link:
      return "symbolic link";
    case Variant::fifo:
      return "FIFO";
    case Variant::oversized:
      return "oversized";
    case Variant::garbage:
      return "garbage";
  }
  return "?";
}

// Exit statuses of a run that ended by itself: done, or a refusal.
bool endedByItself(int status) { return status == 0 || status == 1 || status == 2; }

// A refusal names its reason in the tool's own one-line form.
bool clearRefusal(const std::string& err) {
  if (err.empty() || err.back() != '\n') return false;
  auto lines = err.substr(0, err.size() - 1);
  auto last = lines.substr(lines.rfind('\n') == std::string::npos ? 0 : lines.rfind('\n') + 1);
  return last.starts_with("Corvane: ") && last.size() > 9;
}

class HostileFilesTest : public test::PairedDirectoryTest {
 protected:
  void SetUp() override {
    PairedDirectoryTest::SetUp();
    if (HasFatalFailure()) return;
    // One clean run leaves the files a working directory has.
    runAgent("setup");
  }

  // app-status under a deadline; failures are added to the test.
  void runStatus(const std::string& label) {
    test::RunOptions options;
    options.timeoutSeconds = 30;
    auto result = test::runProgram(CORVANE_TOOL_PATH, arguments("app-status"), options);
    ++runs;
    EXPECT_TRUE(endedByItself(result.status)) << label << ": app-status ended with " << result.status << "\n"
                                              << result.err;
    if (result.status == 0) {
      EXPECT_TRUE(parseJSON(result.out).has_value()) << label << ": app-status printed " << result.out;
    } else {
      EXPECT_TRUE(clearRefusal(result.err)) << label << ": app-status said " << result.err;
    }
  }

  // The agent until it has synchronised once (or given up by itself), then
  // SIGTERM; it must end within the deadline either way.
  void runAgent(const std::string& label) {
    size_t syncs = server.control("executor/counts")["syncs"].get<size_t>();
    AgentProcess agent(arguments("agent"), logs);
    ++runs;
    auto ended = agent.wait(0);
    bool settled = eventually(
        [&] {
          if (!ended) ended = agent.wait(0);
          return ended || server.control("executor/counts")["syncs"].get<size_t>() > syncs;
        },
        60);
    EXPECT_TRUE(settled) << label << ": the agent neither synchronised nor ended\n" << agent.err();
    if (!ended) {
      agent.signal(SIGTERM);
      ended = agent.wait(30);
    }
    ASSERT_TRUE(ended.has_value()) << label << ": the agent hangs after SIGTERM\n" << agent.err();
    EXPECT_TRUE(endedByItself(*ended)) << label << ": the agent ended with " << *ended << "\n" << agent.err();
    if (*ended != 0) {
      std::string err = agent.err();
      EXPECT_TRUE(clearRefusal(err)) << label << ": the agent said " << err;
      size_t start = err.rfind('\n', err.size() >= 2 ? err.size() - 2 : 0);
      refusals.push_back(label + ": exit " + std::to_string(*ended) + ", " +
                         err.substr(start == std::string::npos ? 0 : start + 1, err.size() - start - 2));
    }
    fs::path lock = data / DataDirectory::executorLock;
    ASSERT_TRUE(eventually([&] {
      return !fs::is_regular_file(fs::symlink_status(lock)) || test::executorLockFree(data);
    })) << label;
  }

  // Puts the hostile variant at path (whatever was there is kept aside).
  void plant(const fs::path& path, Variant variant, std::mt19937_64& random) {
    switch (variant) {
      case Variant::link:
        std::ofstream(target) << targetContents;
        fs::create_symlink(target, path);
        break;
      case Variant::fifo:
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
        break;
      case Variant::oversized: {
        // Valid-looking JSON at the start, then 64 MiB without end: a reader
        // without a size limit takes it all into memory.
        std::ofstream file(path, std::ios::binary);
        file << R"({"state":"online","text":")";
        file.close();
        fs::resize_file(path, 64u << 20);
        break;
      }
      case Variant::garbage: {
        std::ofstream file(path, std::ios::binary);
        std::uniform_int_distribution<int> byte(0, 255);
        for (int i = 0; i < 4096; ++i) file.put(static_cast<char>(byte(random)));
        break;
      }
    }
  }

  fs::path target = directory / "link-target";
  const std::string targetContents = "the link's target, which nothing may change\n";
  int runs = 0;
  std::vector<std::string> refusals;  // the agent's refusals, for the summary
};

TEST_F(HostileFilesTest, EachReadFileReplacedByALinkAFifoAnOversizedFileOrGarbage) {
  auto random = test::randomSource("hostile-files");
  fs::create_directories(data / DataDirectory::pendingLogins);
  std::ofstream(data / DataDirectory::pendingLogins / "login-1.json")
      << R"({"id":"login-1","verificationUrl":"https://auth.openai.com/codex/device","userCode":"ABCD-EFGH",)"
      << R"("expiresAt":"2099-01-01T00:00:00Z"})";
  // The ones that ask the agent to do something (stop for an update, sign
  // out) come last, so the cases before them still find a working device.
  const std::vector<fs::path> files = {
      std::string(DataDirectory::pairingRecord),
      std::string(DataDirectory::journal),
      std::string(DataDirectory::agentHealth),
      std::string(DataDirectory::executorLock),
      fs::path(DataDirectory::pendingLogins) / "login-1.json",
      std::string(DataDirectory::codexDiagnostics),
      std::string(DataDirectory::supportDiagnostics),
      std::string(DataDirectory::supportDiagnosticsLock),
      std::string(DataDirectory::supportUploadLock),
      std::string(DataDirectory::updatePreparation),
      std::string(DataDirectory::signOutMarker),
  };
  const std::vector<Variant> variants = {Variant::link, Variant::fifo, Variant::oversized, Variant::garbage};
  fs::path aside = directory / "aside";
  int planted = 0;

  // The short run gives each file one of the variants, in turn from a
  // seeded start, so that every variant still meets several files.
  const bool shortRun = test::ReliabilitySettings::current().shortRun;
  const size_t first = std::uniform_int_distribution<size_t>(0, variants.size() - 1)(random);
  for (size_t index = 0; index < files.size(); ++index) {
    const fs::path& file = files[index];
    for (size_t turn = 0; turn < variants.size(); ++turn) {
      if (shortRun && turn > 0) break;
      Variant variant = variants[(first + index + turn) % variants.size()];
      std::string label = file.string() + " as " + name(variant);
      SCOPED_TRACE(label);
      fs::path path = data / file;
      bool existed = fs::exists(fs::symlink_status(path));
      if (existed) fs::rename(path, aside);
      plant(path, variant, random);
      ++planted;
      for (const char* side : {"-wal", "-shm"})
        if (file == DataDirectory::journal) fs::remove(path.string() + side);

      runStatus(label);
      runAgent(label);
      if (variant == Variant::link) {
        EXPECT_EQ(readFile(target), targetContents) << "written through the link";
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
      }

      fs::remove(path);
      if (existed) fs::rename(aside, path);
      fs::remove(target);
      if (file == DataDirectory::pendingLogins / fs::path("login-1.json") && !fs::exists(path))
        std::ofstream(path) << "{}";  // the agent clears old sign-ins at start; keep one to replace
    }
  }

  // A linked folder: the agent clears pending sign-ins at start, and must
  // not do it in a folder elsewhere.
  {
    SCOPED_TRACE("pending-logins as a link to a folder");
    fs::path folder = directory / "elsewhere";
    fs::create_directories(folder);
    std::ofstream(folder / "keep.json") << "{}";
    fs::path logins = data / DataDirectory::pendingLogins;
    fs::remove_all(logins);
    fs::create_directory_symlink(folder, logins);
    ++planted;
    runStatus("pending-logins link");
    runAgent("pending-logins link");
    EXPECT_TRUE(fs::exists(folder / "keep.json")) << "removed through the link";
    fs::remove(logins);
  }

  std::vector<std::string> notes = {
      std::to_string(files.size()) + " files" + (shortRun ? ", one of" : " x") +
          " link, FIFO, 64 MiB, garbage each, and a linked folder; app-status and agent on each",
      ::testing::Test::HasFailure() ? "FOUND: see the failures above" : "found: nothing"};
  for (const auto& refusal : refusals) notes.push_back("  " + refusal);
  test::report({"hostile data-directory files", runs, planted, planted, notes});
}

}  // namespace
}  // namespace corvane
