#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace corvane {

// The executable that name stands for: a path when it contains "/" (a leading
// "~" expanded), otherwise the first match on PATH ("/usr/bin:/bin" when PATH
// is unset). CVError.invalid("Executable not found: <name>") when no
// candidate may be executed by this process.
std::filesystem::path resolveExecutable(std::string_view name);

// The Codex runtime "codex" beside helper when helper sits in an application
// bundle's Contents/MacOS and the runtime is executable; nothing otherwise.
std::optional<std::filesystem::path> bundledCodexExecutable(const std::filesystem::path& helper);

}  // namespace corvane
