#pragma once

#include <filesystem>

#include "executor/cli/Commands.h"
#include "executor/support/Json.h"
#include "executor/support/Parsing.h"

namespace corvane {

// The snapshot the tray app polls every few seconds. Everything in the
// directory is read as untrusted and at most statusFileLimit bytes a file:
// what is missing, linked, oversized or malformed is reported as absent, so
// this never fails and never creates anything. It touches no keyring,
// network or database.
Json appStatus(const std::filesystem::path& directory, bool codexAvailable, WallTime now);

// app-status: appStatus of the directory as given (never canonicalised).
CommandOutput appStatusCommand(const Options& options);

// doctor: {"codexAvailable", "keychainConfigured", "pairingConfigured"}, a
// self-check that fails only when the directory cannot be prepared.
CommandOutput doctorCommand(const Options& options);

}  // namespace corvane
