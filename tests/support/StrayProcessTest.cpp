// Runs after every test of the child_processes fixture: each process group a
// test started must be gone by then, or the supervision leaks.

#include <gtest/gtest.h>

#include <cstdio>

#include "support/ProcessGroups.h"

namespace corvane {
namespace {

TEST(StrayProcesses, NoRecordedProcessGroupHasALivingMember) {
  auto groups = test::recordedProcessGroups();
  if (!groups) GTEST_SKIP() << "no ledger (CORVANE_PROCESS_LEDGER): ctest runs this after the process tests";
  // An empty ledger proves nothing: the tests that start processes did not
  // run, or recorded nothing of what they started.
  ASSERT_FALSE(groups->empty()) << "the ledger is set but no process group was recorded in it";
  for (pid_t group : *groups) {
    // A group killed just before the end may take a moment to vanish.
    if (test::waitUntilGroupGone(group, 3)) continue;
    for (const auto& process : test::livingMembers(group))
      ADD_FAILURE() << "group " << group << " still has process " << process.pid << " (state " << process.state
                    << ", parent " << process.parent << "): " << process.commandLine;
  }
  std::printf("%zu process groups checked\n", groups->size());
}

}  // namespace
}  // namespace corvane
