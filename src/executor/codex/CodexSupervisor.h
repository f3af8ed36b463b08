#pragma once

#include <string>
#include <vector>

namespace corvane {

// The supervisor mode of the executable ("--internal-codex-supervisor"):
// arguments are those after the flag; returns the process exit status.
int runCodexSupervisor(const std::vector<std::string>& arguments);

}  // namespace corvane
