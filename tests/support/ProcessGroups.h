#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace corvane::test {

// What /proc tells about one process.
struct ProcessEntry {
  pid_t pid = 0;
  pid_t parent = 0;
  pid_t group = 0;
  char state = '?';  // 'Z' for a zombie
  std::string commandLine;
};

std::vector<ProcessEntry> listProcesses();

// The processes of group that still run (zombies, which are only waiting to
// be reaped, are left out).
std::vector<ProcessEntry> livingMembers(pid_t group);

// Polls until no process of group runs; false when some still do after
// timeoutSeconds. The limit is a safety net, not a measurement.
bool waitUntilGroupGone(pid_t group, double timeoutSeconds);

// Waits for the child pid to end and reaps it; its wait status, or nothing
// when it still runs after timeoutSeconds (it is then left running).
std::optional<int> waitForChild(pid_t pid, double timeoutSeconds);

// The ledger of process groups the tests started, kept as one empty file per
// group in the directory named by CORVANE_PROCESS_LEDGER, so that a check at
// the end of the suite can prove none of them left a process behind. Without
// the variable (a test binary run by hand) nothing is kept. A ledger that is
// set but cannot be written fails the calling test: a group left out of it
// would escape the check.
void recordProcessGroup(pid_t group);

// The groups recorded so far; nothing when no ledger is set, so that a
// ledger that is set but empty can be told from one that was never meant.
std::optional<std::vector<pid_t>> recordedProcessGroups();

}  // namespace corvane::test
