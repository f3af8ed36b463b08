#include "executor/codex/CodexSupervisor.h"

#include <cstdio>

#include "localization/L10n.h"

namespace corvane {

// The supervisor arrives with the Codex runtime; until then the mode refuses
// to start anything rather than pretend to supervise.
int runCodexSupervisor(const std::vector<std::string>&) {
  std::string line = "Corvane: " + L10n::text("The Codex supervisor is not available in this version") + "\n";
  std::fputs(line.c_str(), stderr);
  return 2;
}

}  // namespace corvane
