// The XDG base directory defaults, taken from HOME alone: XDG_DATA_HOME and
// XDG_STATE_HOME are deliberately not consulted, since a process started with
// a bare environment would otherwise look somewhere else than its parent.

#include "platform/UserDirectories.h"

namespace corvane::platform {

std::filesystem::path applicationSupportDirectory(const std::filesystem::path& home) {
  return home / ".local/share/corvane";
}

std::filesystem::path logsDirectory(const std::filesystem::path& home) { return home / ".local/state/corvane"; }

}  // namespace corvane::platform
