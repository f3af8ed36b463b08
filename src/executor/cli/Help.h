#pragma once

#include <string>

#include "executor/cli/Options.h"

namespace corvane {

// The text of --help, in the user's language: what Corvane is, every command
// of the command table with its summary (those not built yet marked as such),
// every option, and the data directory options would use. Ends in a newline.
std::string helpText(const Options& options);

// The text of --version: the program's version and build number, one line.
std::string versionText();

}  // namespace corvane
