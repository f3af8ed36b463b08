#pragma once

#include "executor/cli/Commands.h"

namespace corvane {

// install [--render-only], uninstall and agent-status: the tool's own
// background service for the data directory (LaunchAgent).
CommandOutput installCommand(const Options& options);
CommandOutput uninstallCommand(const Options& options);
CommandOutput agentStatusCommand(const Options& options);

}  // namespace corvane
