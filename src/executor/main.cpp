// corvane-mac: the command-line tool and background executor.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "executor/cli/Output.h"
#include "executor/cli/Run.h"
#include "executor/codex/CodexSupervisor.h"
#include "executor/support/CVError.h"
#include "executor/support/Json.h"

namespace {

// The app's sign-in screens want the coordinator's status itself, not a text.
bool reportsAuthErrorStatus(const std::vector<std::string>& arguments) {
  for (const auto& argument : arguments)
    if (argument == "email-start" || argument == "email-verify" || argument == "pair-confirm") return true;
  return false;
}

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
    corvane::run(argc > 0 ? argv[0] : "", arguments);
    return 0;
  } catch (const corvane::CVError& error) {
    if (error.kind() == corvane::CVError::Kind::network && reportsAuthErrorStatus(arguments)) {
      try {
        corvane::writeOutput(corvane::prettyJSON({{"authErrorStatus", error.status().value_or(0)}}));
        return 0;
      } catch (const corvane::CVError& outputError) {
        return fail(outputError.what());
      }
    }
    return fail(error.what());
  } catch (const std::exception& error) {
    return fail(error.what());
  }
}
