#pragma once

#include <sys/types.h>

namespace corvane::platform {

// Process groups: a child started in a group of its own (SpawnPlan::
// newProcessGroup) is ended together with everything it started. Each
// operation does nothing for a group below 2, which would name the caller's
// own group or every process.

// Ends the process group led by leader, a child of the caller, and reaps the
// leader: SIGTERM to the group, a wait of up to grace seconds for the leader
// to exit, then SIGKILL to the group in every case so that no member
// survives. The unreaped leader keeps the group's identifier from being
// reused until the end, so the signals cannot reach a stranger. Blocks its
// caller for at most grace seconds plus the reap.
void terminateProcessGroup(pid_t leader, double grace);

// Asks every process of group to end (SIGTERM); the caller too when it
// belongs to the group and has not blocked the signal.
void askProcessGroupToEnd(pid_t group);

// Ends every process of group at once (SIGKILL), the caller too when it
// belongs to the group.
void killProcessGroup(pid_t group);

// Waits until no process other than the caller runs in group, looking every
// 10 milliseconds; false when some still run at deadline (an absolute
// continuousSeconds() reading). A process that has ended but is not reaped
// yet no longer runs.
bool waitUntilOthersLeaveProcessGroup(pid_t group, double deadline);

// From now on a fault of this process (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGABRT, SIGTRAP, SIGSYS) kills its whole process group at once: after a
// fault nothing is left to trust, so nothing else runs first.
void killOwnProcessGroupOnFault();

}  // namespace corvane::platform
