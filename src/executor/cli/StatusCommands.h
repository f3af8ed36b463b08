#pragma once

#include "executor/cli/Commands.h"

namespace corvane {

// doctor: {"codexAvailable", "keychainConfigured", "pairingConfigured"}, a
// self-check that fails only when the directory cannot be prepared.
CommandOutput doctorCommand(const Options& options);

}  // namespace corvane
