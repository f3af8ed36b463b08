// The stray-process check run on ledgers made for it: it must prove
// something or fail, never pass on a ledger that holds nothing.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "support/RunResult.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

// A child in a process group of its own that runs until it is killed.
class LivingGroup {
 public:
  LivingGroup() {
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      while (true) pause();
    }
    // Both sides set the group, so it is in place whichever runs first.
    if (pid_ > 0) setpgid(pid_, pid_);
  }
  ~LivingGroup() { end(); }
  LivingGroup(const LivingGroup&) = delete;
  LivingGroup& operator=(const LivingGroup&) = delete;

  pid_t pid() const { return pid_; }
  void end() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

void record(const fs::path& ledger, pid_t group) {
  fs::create_directories(ledger);
  std::ofstream(ledger / std::to_string(group));
}

TEST(ProcessLedgerTest, TheStrayCheckPassesOnlyWhenItCheckedSomethingAndFoundNothing) {
  test::TemporaryDirectory directory;
  LivingGroup living;
  ASSERT_GT(living.pid(), 0);
  LivingGroup gone;
  ASSERT_GT(gone.pid(), 0);
  pid_t goneGroup = gone.pid();
  gone.end();

  struct Case {
    std::string name;
    std::optional<fs::path> ledger;  // nothing: the variable is unset
    std::vector<pid_t> groups;
    bool passes;
  };
  const std::vector<Case> cases = {
      {"no ledger", std::nullopt, {}, true},
      {"a ledger never written", directory / "absent", {}, false},
      {"an empty ledger", directory / "empty", {}, false},
      {"a group that is gone", directory / "gone", {goneGroup}, true},
      {"a group that still runs", directory / "living", {goneGroup, living.pid()}, false},
  };
  fs::create_directories(directory / "empty");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (pid_t group : c.groups) record(*c.ledger, group);
    test::RunOptions options;
    options.environment["CORVANE_PROCESS_LEDGER"] =
        c.ledger ? std::optional<std::string>(c.ledger->string()) : std::nullopt;
    auto run = test::runProgram(STRAY_PROCESS_TEST, {}, options);
    EXPECT_EQ(run.status == 0, c.passes) << "exit status " << run.status << "\n" << run.out;
  }
}

}  // namespace
}  // namespace corvane
