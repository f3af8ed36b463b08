#include "executor/cli/Executables.h"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "executor/support/CVError.h"
#include "executor/support/Paths.h"
#include "localization/L10n.h"
#include "platform/SystemInfo.h"

namespace corvane {

namespace fs = std::filesystem;

namespace {
bool isExecutable(const fs::path& path) {
  std::error_code error;
  return access(path.c_str(), X_OK) == 0 && !fs::is_directory(path, error);
}
}  // namespace

fs::path resolveExecutable(std::string_view name) {
  std::vector<fs::path> candidates;
  if (name.find('/') != std::string_view::npos) {
    candidates.push_back(expandTilde(fs::path(name), platform::homeDirectory()));
  } else if (!name.empty()) {
    const char* variable = std::getenv("PATH");
    std::string_view path = variable ? variable : "/usr/bin:/bin";
    while (!path.empty()) {
      auto colon = path.find(':');
      std::string_view piece = path.substr(0, colon);
      if (!piece.empty()) candidates.push_back(fs::path(piece) / fs::path(name));
      path = colon == std::string_view::npos ? std::string_view{} : path.substr(colon + 1);
    }
  }
  for (const auto& candidate : candidates)
    if (isExecutable(candidate)) return standardized(candidate.is_absolute() ? candidate : fs::absolute(candidate));
  throw CVError::invalid(L10n::text("Executable not found: %1$@", std::string(name)));
}

std::optional<fs::path> bundledCodexExecutable(const fs::path& helper) {
  fs::path directory = standardized(helper).parent_path();
  if (!isBundleExecutableDirectory(directory)) return std::nullopt;
  fs::path codex = directory / "codex";
  if (!isExecutable(codex)) return std::nullopt;
  return codex;
}

}  // namespace corvane
