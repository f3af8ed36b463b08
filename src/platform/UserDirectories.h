#pragma once

#include <filesystem>

namespace corvane::platform {

// The per-user roots where Corvane keeps what it owns, for the home directory
// home. On a Mac these are "Library/Application Support/Corvane" and
// "Library/Logs/Corvane"; every other platform maps them here, once, to its own
// convention. The answer depends on home alone, never on the environment: the
// tray app starts the tool with only PATH and HOME set, and both programs must
// agree on the same directories however they were started.

// Application state, the executor's data directories below it.
std::filesystem::path applicationSupportDirectory(const std::filesystem::path& home);

// Log files, such as the tray app's update log.
std::filesystem::path logsDirectory(const std::filesystem::path& home);

}  // namespace corvane::platform
