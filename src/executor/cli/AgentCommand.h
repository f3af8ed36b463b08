#pragma once

#include "executor/cli/Commands.h"

namespace corvane {

// agent and service-agent: the background executor. Takes the directory's
// executor.lock for the life of the process, publishes an offline health
// record, assembles the coordinator client, the journal, the Codex adapter,
// the support diagnostics and the agent, turns SIGINT and SIGTERM into the
// agent's stop request and runs the agent until it stops. A failure after
// the first health record leaves it offline with startup_failed, so the tray
// app can tell why no executor runs.
CommandOutput agentCommand(const Options& options);

}  // namespace corvane
