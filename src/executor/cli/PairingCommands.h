#pragma once

#include "executor/cli/Commands.h"

namespace corvane {

// The commands that pair a data directory with a coordinator and the one that
// starts leaving. Each runs on the prepared (private, canonical) directory and
// reads its secrets from standard input, never from the command line.

// A person types the code the phone app shows; stores the device credentials.
CommandOutput pairCommand(const Options& options);
// Asks the coordinator for a pairing request for this computer; prints it.
CommandOutput pairStartCommand(const Options& options);
// Reads a poll token; stores the credentials once the pairing is approved.
CommandOutput pairPollCommand(const Options& options);
// Confirms a pairing with a signed-in user session, then ends that session.
CommandOutput pairConfirmCommand(const Options& options);
// Starts an e-mail sign-in challenge.
CommandOutput emailStartCommand(const Options& options);
// Verifies the e-mailed code; prints the coordinator's answer with the session.
CommandOutput emailVerifyCommand(const Options& options);
// Leaves a marker asking the running executor to sign this device out.
CommandOutput signOutCommand(const Options& options);

}  // namespace corvane
