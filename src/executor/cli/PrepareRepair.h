#pragma once

#include <filesystem>
#include <functional>

#include "executor/cli/Commands.h"
#include "executor/support/Json.h"

namespace corvane {

// Retires a pairing the user has disabled from the phone, so that the
// directory can be paired again, but only when nothing can be lost: no
// executor runs on the directory, the coordinator confirms the device is
// revoked and cleaned up, no account home is left and no task result waits
// to be reported. heartbeat asks the coordinator (its answer object);
// retirePairing deletes the device token and the pairing record. CVError
// when any check fails; nothing local changes then.
void prepareRepair(const std::filesystem::path& directory, const std::function<Json()>& heartbeat,
                   const std::function<void()>& retirePairing);

// prepare-repair: prepareRepair with the paired client's heartbeat, then the
// sign-out marker removed; {"readyToPair": true}.
CommandOutput prepareRepairCommand(const Options& options);

}  // namespace corvane
