#include "executor/cli/StatusCommands.h"

#include "executor/cli/Executables.h"
#include "executor/coordinator/CoordinatorClient.h"
#include "executor/state/PairingRecord.h"
#include "executor/support/CVError.h"

namespace corvane {

namespace {

bool codexAvailable(const Options& options) {
  try {
    resolveExecutable(options.codex);
    return true;
  } catch (const CVError&) {
    return false;
  }
}

}  // namespace

CommandOutput doctorCommand(const Options& options) {
  bool keychainConfigured = true;
  try {
    coordinator(options.dataDirectory);
  } catch (const CVError&) {
    keychainConfigured = false;
  }
  return Json{{"codexAvailable", codexAvailable(options)},
              {"keychainConfigured", keychainConfigured},
              {"pairingConfigured", PairingRecord::exists(options.dataDirectory)}};
}

}  // namespace corvane
