#include "executor/cli/Commands.h"

#include "executor/cli/AgentCommand.h"
#include "executor/cli/DiagnosticsCommands.h"
#include "executor/cli/PairingCommands.h"
#include "executor/cli/PrepareRepair.h"
#include "executor/cli/ServiceCommands.h"
#include "executor/cli/StatusCommands.h"
#include "executor/cli/UpdateCommands.h"
#include "executor/support/CVError.h"
#include "localization/L10n.h"

namespace corvane {

namespace {

// Placeholder for a command whose subsystem has not been built yet: it fails
// loudly, because printing success for work not done would mislead the app.
CommandOutput notAvailable(const Options& options) {
  throw CVError::invalid(L10n::text("The %1$@ command is not available in this version", options.command->word));
}

constexpr std::array<Command, 20> table = {{
    {.word = "pair",
     .summary = L10n::key("Pair this computer with the code the iPhone app shows"),
     .inUsage = true,
     .handler = pairCommand},
    {.word = "pair-start",
     .summary = L10n::key("Ask the coordinator for a pairing request for this computer"),
     .handler = pairStartCommand},
    {.word = "pair-poll",
     .summary = L10n::key("Ask whether that request was approved, and store the credentials when it was"),
     .handler = pairPollCommand},
    {.word = "pair-confirm",
     .summary = L10n::key("Approve a pairing request with a signed-in session"),
     .reportsAuthErrorStatus = true,
     .handler = pairConfirmCommand},
    {.word = "email-start",
     .summary = L10n::key("Send a sign-in code to an e-mail address"),
     .reportsAuthErrorStatus = true,
     .handler = emailStartCommand},
    {.word = "email-verify",
     .summary = L10n::key("Check the e-mailed code"),
     .reportsAuthErrorStatus = true,
     .handler = emailVerifyCommand},
    {.word = "sign-out",
     .summary = L10n::key("Ask the background executor to sign this computer out"),
     .handler = signOutCommand},
    {.word = "prepare-repair",
     .summary = L10n::key("Retire a disabled pairing so that the directory can be paired again"),
     .inUsage = true,
     .handler = prepareRepairCommand},
    {.word = "agent",
     .summary = L10n::key("Run the background executor until it is stopped"),
     .inUsage = true,
     .handler = agentCommand},
    {.word = "service-agent",
     .summary = L10n::key("The same as agent, for the background service"),
     .inUsage = true,
     .handler = agentCommand},
    {.word = "install",
     .summary = L10n::key("Install and start the background service"),
     .inUsage = true,
     .handler = installCommand},
    {.word = "uninstall",
     .summary = L10n::key("Stop and remove the background service"),
     .inUsage = true,
     .handler = uninstallCommand},
    {.word = "agent-status",
     .summary = L10n::key("Show whether the background service is installed and loaded"),
     .inUsage = true,
     .handler = agentStatusCommand},
    {.word = "app-status",
     .summary = L10n::key("Print the status the tray app shows"),
     .inUsage = true,
     .beforeDirectory = true,
     .handler = appStatusCommand},
    {.word = "doctor",
     .summary = L10n::key("Check the Codex runtime, the pairing and the keyring"),
     .inUsage = true,
     .handler = doctorCommand},
    {.word = "diagnostics",
     .summary = L10n::key("Export sanitized diagnostics"),
     .beforeDirectory = true,
     .handler = diagnosticsCommand},
    {.word = "diagnostics-setting",
     .summary = L10n::key("Turn automatic diagnostics on or off"),
     .beforeDirectory = true,
     .handler = diagnosticsSettingCommand},
    {.word = "support-report",
     .summary = L10n::key("Send a problem report to support"),
     .beforeDirectory = true,
     .handler = supportReportCommand},
    {.word = "prepare-update",
     .summary = L10n::key("Ask the background executor to finish its work before an update"),
     .handler = prepareUpdateCommand},
    {.word = "cancel-update",
     .summary = L10n::key("Withdraw a prepare-update request"),
     .handler = cancelUpdateCommand},
}};

}  // namespace

const std::array<Command, 20>& commands() { return table; }

const Command* findCommand(std::string_view word) {
  for (const auto& command : table)
    if (command.word == word) return &command;
  return nullptr;
}

bool isAvailable(const Command& command) { return command.handler != notAvailable; }

std::string usageLine() {
  std::string words;
  for (const auto& command : table)
    if (command.inUsage) words += (words.empty() ? "" : "|") + std::string(command.word);
  return L10n::text("Usage: corvane-mac [--data-dir PATH] %1$@", words);
}

}  // namespace corvane
