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
    {"pair", L10n::key("Pair this computer with the code the iPhone app shows"), true, false, pairCommand},
    {"pair-start", L10n::key("Ask the coordinator for a pairing request for this computer"), false, false,
     pairStartCommand},
    {"pair-poll", L10n::key("Ask whether that request was approved, and store the credentials when it was"), false,
     false, pairPollCommand},
    {"pair-confirm", L10n::key("Approve a pairing request with a signed-in session"), false, false, pairConfirmCommand},
    {"email-start", L10n::key("Send a sign-in code to an e-mail address"), false, false, emailStartCommand},
    {"email-verify", L10n::key("Check the e-mailed code"), false, false, emailVerifyCommand},
    {"sign-out", L10n::key("Ask the background executor to sign this computer out"), false, false, signOutCommand},
    {"prepare-repair", L10n::key("Retire a disabled pairing so that the directory can be paired again"), true, false,
     notAvailable},
    {"agent", L10n::key("Run the background executor until it is stopped"), true, false, notAvailable},
    {"service-agent", L10n::key("The same as agent, for the background service"), true, false, notAvailable},
    {"install", L10n::key("Install and start the background service"), true, false, notAvailable},
    {"uninstall", L10n::key("Stop and remove the background service"), true, false, notAvailable},
    {"agent-status", L10n::key("Show whether the background service is installed and loaded"), true, false,
     notAvailable},
    {"app-status", L10n::key("Print the status the tray app shows"), true, true, notAvailable},
    {"doctor", L10n::key("Check the Codex runtime, the pairing and the keyring"), true, false, notAvailable},
    {"diagnostics", L10n::key("Export sanitized diagnostics"), false, true, notAvailable},
    {"diagnostics-setting", L10n::key("Turn automatic diagnostics on or off"), false, true, notAvailable},
    {"support-report", L10n::key("Send a problem report to support"), false, true, notAvailable},
    {"prepare-update", L10n::key("Ask the background executor to finish its work before an update"), false, false,
     prepareUpdateCommand},
    {"cancel-update", L10n::key("Withdraw a prepare-update request"), false, false, cancelUpdateCommand},
}};

}  // namespace

const std::array<Command, 20>& commands() { return table; }

const Command* findCommand(std::string_view word) {
  for (const auto& command : table)
    if (command.word == word) return &command;
  return nullptr;
}

bool isAvailable(const Command& command) { return command.handler != notAvailable; }

}  // namespace corvane
