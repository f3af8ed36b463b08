// Runs after every test of the codex_processes fixture: each process group a
// Codex test started must be gone by then, or the supervision leaks.

#include <gtest/gtest.h>

#include "executor/codex/ProcessGroups.h"

namespace corvane {
namespace {

TEST(CodexStrayProcesses, NoRecordedProcessGroupHasALivingMember) {
  auto groups = testing::recordedProcessGroups();
  for (pid_t group : groups) {
    // A group killed just before the end may take a moment to vanish.
    if (testing::waitUntilGroupGone(group, 3)) continue;
    for (const auto& process : testing::livingMembers(group))
      ADD_FAILURE() << "group " << group << " still has process " << process.pid << " (state " << process.state
                    << ", parent " << process.parent << "): " << process.commandLine;
  }
  std::printf("%zu process groups checked\n", groups.size());
}

}  // namespace
}  // namespace corvane
