#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// The supervisor mode of the executable ("--internal-codex-supervisor"). The
// executor starts a copy of itself this way between it and the Codex runtime,
// so that no runtime outlives the executor or its deadline, even when the
// executor crashes or is killed.
//
// arguments are those after the flag: the parent's process identifier, the
// deadline (an absolute continuousSeconds() reading, at most an hour ahead),
// the runtime's absolute path and the runtime's own arguments. The
// supervisor must be its process group's leader and find descriptor 3 open.
// It refuses with status 2 before starting anything when a check fails.
// Once the runtime runs, this never returns: when the parent dies, the
// deadline passes, the runtime exits or a signal arrives whose default
// action would end the supervisor (SIGTERM, SIGINT, SIGHUP, SIGUSR1, ...),
// the whole group is sent SIGTERM, then after 0.5 seconds SIGKILL, which
// ends the supervisor too. A fault in the supervisor itself (SIGSEGV,
// SIGABRT, ...) kills the group at once. SIGKILL ends the supervisor alone:
// the runtime is then killed with it, and the executor's
// platform::terminateProcessGroup still ends whatever the runtime started.
int runCodexSupervisor(const std::vector<std::string>& arguments);

// The program to start in supervisor mode: the image this process runs
// (platform::runningImage), so that the supervisor is always the same build
// as the executor and still starts when the executable's file was replaced
// on disk while the executor runs. Only for this process's own spawns.
// Nothing when the system cannot tell.
std::optional<std::filesystem::path> runningExecutableURL();

}  // namespace corvane
