#include "executor/cli/Commands.h"

#include "executor/cli/PairingCommands.h"
#include "executor/cli/UpdateCommands.h"
#include "executor/support/CVError.h"
#include "localization/L10n.h"

namespace corvane {

namespace {

// Placeholder for a command whose subsystem has not been built yet: it fails
// loudly, because printing success for work not done would mislead the app.
CommandOutput notAvailable(const Options& options) {
  throw CVError::invalid(L10n::text("The %1$@ command is not available in this version", options.command));
}

constexpr std::array<Command, 20> table = {{
    {"pair", true, false, pairCommand},
    {"pair-start", false, false, pairStartCommand},
    {"pair-poll", false, false, pairPollCommand},
    {"pair-confirm", false, false, pairConfirmCommand},
    {"email-start", false, false, emailStartCommand},
    {"email-verify", false, false, emailVerifyCommand},
    {"sign-out", false, false, signOutCommand},
    {"prepare-repair", true, false, notAvailable},
    {"agent", true, false, notAvailable},
    {"service-agent", true, false, notAvailable},
    {"install", true, false, notAvailable},
    {"uninstall", true, false, notAvailable},
    {"agent-status", true, false, notAvailable},
    {"app-status", true, true, notAvailable},
    {"doctor", true, false, notAvailable},
    {"diagnostics", false, true, notAvailable},
    {"diagnostics-setting", false, true, notAvailable},
    {"support-report", false, true, notAvailable},
    {"prepare-update", false, false, prepareUpdateCommand},
    {"cancel-update", false, false, cancelUpdateCommand},
}};

}  // namespace

const std::array<Command, 20>& commands() { return table; }

const Command* findCommand(std::string_view word) {
  for (const auto& command : table)
    if (command.word == word) return &command;
  return nullptr;
}

}  // namespace corvane
