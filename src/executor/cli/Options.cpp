#include "executor/cli/Options.h"

#include "executor/cli/Commands.h"
#include "executor/support/CVError.h"
#include "executor/support/PackagedEnvironment.h"
#include "executor/support/Paths.h"
#include "localization/L10n.h"
#include "platform/SystemInfo.h"
#include "platform/UserDirectories.h"

namespace corvane {

namespace fs = std::filesystem;

OptionsContext OptionsContext::current() {
  std::error_code error;
  fs::path cwd = fs::current_path(error);
  return {platform::runningExecutable(), platform::homeDirectory(), error ? fs::path("/") : cwd,
          platform::localizedHostName()};
}

fs::path Options::defaultDataDirectory(const OptionsContext& context) {
  if (auto packaged = PackagedEnvironment::current(context.executable)) return packaged->dataDirectory(context.home);
  return platform::applicationSupportDirectory(context.home) / "Executor";
}

Options::Options(const std::vector<std::string>& arguments, const OptionsContext& context)
    : dataDirectory(defaultDataDirectory(context)), name(context.hostName.value_or("Mac")) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--data-dir" || argument == "--url" || argument == "--codex" || argument == "--name") {
      if (i + 1 >= arguments.size()) throw CVError::invalid(L10n::text("Missing value for %1$@", argument));
      const std::string& value = arguments[++i];
      if (argument == "--data-dir") {
        fs::path path = expandTilde(value, context.home);
        dataDirectory = path.is_absolute() ? path : context.currentDirectory / path;
      } else if (argument == "--url") {
        origin = value;
      } else if (argument == "--codex") {
        codex = value;
        explicitCodex = true;
      } else {
        name = value;
      }
    } else if (argument == "--development-loopback") {
      developmentLoopback = true;
    } else if (argument == "--render-only") {
      renderOnly = true;
    } else if (findCommand(argument)) {
      if (!command.empty()) throw CVError::invalid(L10n::text("Specify only one command"));
      command = argument;
    } else {
      throw CVError::invalid(L10n::text("Unknown argument: %1$@", argument));
    }
  }
  if (command.empty())
    throw CVError::invalid(L10n::text(
        "Usage: corvane-mac [--data-dir PATH] pair|prepare-repair|agent|service-agent|install|uninstall|agent-status|app-status|doctor"));
  dataDirectory = standardized(dataDirectory);
}

}  // namespace corvane
