#include "executor/cli/Run.h"

#include <sys/stat.h>

#include <csignal>

#include "executor/cli/Commands.h"
#include "executor/cli/Executables.h"
#include "executor/cli/Help.h"
#include "executor/cli/Output.h"
#include "executor/support/CVError.h"
#include "executor/support/PrivateFiles.h"

namespace corvane {

namespace {

void print(const CommandOutput& output) {
  std::string text;
  if (const auto* json = std::get_if<Json>(&output))
    text = prettyJSON(*json);
  else if (const auto* line = std::get_if<std::string>(&output))
    text = *line + "\n";
  else
    return;
  writeOutput(text);
}

// The running tool as the kernel reports it, else what its first argument
// names; nothing when neither can be told.
std::optional<std::filesystem::path> toolPath(const OptionsContext& context, const std::string& programPath) {
  if (context.executable) return context.executable;
  try {
    return resolveExecutable(programPath);
  } catch (const CVError&) {
    return std::nullopt;
  }
}

}  // namespace

void useBundledCodex(Options& options, const std::optional<std::filesystem::path>& tool) {
  if (options.explicitCodex || !tool) return;
  if (auto codex = bundledCodexExecutable(*tool)) options.codex = codex->string();
}

void run(const std::string& programPath, const std::vector<std::string>& arguments) {
  reserveStandardDescriptors();
  umask(077);
  std::signal(SIGPIPE, SIG_IGN);

  OptionsContext context = OptionsContext::current();
  Options options(arguments, context);
  if (options.help || options.version) {
    writeOutput(options.help ? helpText(options) : versionText());
    return;
  }
  options.program = programPath;
  useBundledCodex(options, toolPath(context, programPath));

  const Command& command = *options.command;
  if (!command.beforeDirectory) {
    privateDirectory(options.dataDirectory);
    // From here on every file, the keyring item and the service label derive
    // from the real path, so two spellings of one directory are one pairing.
    options.dataDirectory = canonicalDirectory(options.dataDirectory);
  }
  CommandOutput output;
  try {
    output = command.handler(options);
  } catch (const CVError& error) {
    // The tray app's sign-in screens react to the coordinator's status
    // themselves; any other failure stays a failure.
    if (!command.reportsAuthErrorStatus || error.kind() != CVError::Kind::network) throw;
    output = Json{{"authErrorStatus", error.status().value_or(0)}};
  }
  print(output);
}

}  // namespace corvane
