// corvane-mac: the command-line tool and background executor.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "executor/cli/Run.h"
#include "executor/codex/CodexSupervisor.h"
#include "localization/ResourceBundle.h"

namespace {

int fail(const char* description) {
  std::string line = std::string("Corvane: ") + description + "\n";
  std::fputs(line.c_str(), stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (!arguments.empty() && arguments[0] == "--internal-codex-supervisor")
    return corvane::runCodexSupervisor({arguments.begin() + 1, arguments.end()});

  try {
    // Loaded first, so a missing table bundle is this one line, and never
    // found later inside code that must not throw.
    corvane::ResourceBundle::shared();
    corvane::run(argc > 0 ? argv[0] : "", arguments);
    return 0;
  } catch (const std::exception& error) {
    // CVError's text is already localized; any other error is printed as it
    // stands.
    return fail(error.what());
  }
}
