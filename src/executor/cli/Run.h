#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "executor/cli/Options.h"

namespace corvane {

// One run of the tool: private file mask, SIGPIPE ignored, options parsed, the
// bundled Codex runtime found, the data directory prepared (except for the
// read-only commands), the command handled and its output printed. A
// coordinator HTTP failure of a command whose row reports it as a status is
// printed as {"authErrorStatus": …}, which is success. Returns on success;
// every other failure is thrown to main.
void run(const std::string& programPath, const std::vector<std::string>& arguments);

// Unless --codex was given, the runtime beside the tool in its application
// bundle replaces the default name. tool is the running executable's path,
// or nothing when it cannot be told.
void useBundledCodex(Options& options, const std::optional<std::filesystem::path>& tool);

}  // namespace corvane
