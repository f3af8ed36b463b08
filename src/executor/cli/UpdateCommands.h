#pragma once

#include "executor/cli/Commands.h"

namespace corvane {

// prepare-update: asks the running executor to drain before an app update;
// prints {"id": <request id>}.
CommandOutput prepareUpdateCommand(const Options& options);

// cancel-update: withdraws that request, if any; prints {"cancelled": true}.
CommandOutput cancelUpdateCommand(const Options& options);

}  // namespace corvane
