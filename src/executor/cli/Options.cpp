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

namespace {

constexpr std::array<OptionSpec, 8> options = {{
    {"--data-dir", "", L10n::key("PATH"), L10n::key("Use this data directory instead of the default one")},
    {"--url", "", L10n::key("URL"), L10n::key("The coordinator's origin, for pairing and signing in")},
    {"--codex", "", L10n::key("PATH"), L10n::key("The Codex runtime to run")},
    {"--name", "", L10n::key("NAME"), L10n::key("The device name sent when pairing (default: the host name)")},
    {"--development-loopback", "", "", L10n::key("Allow plain HTTP to this computer, for development only")},
    {"--render-only", "", "", L10n::key("With install: print the service definition instead of installing it")},
    {"--help", "-h", "", L10n::key("Show this help")},
    {"--version", "", "", L10n::key("Show the version and build")},
}};

const OptionSpec* findOption(std::string_view argument) {
  for (const auto& option : options)
    if (option.name == argument || (!option.shortName.empty() && option.shortName == argument)) return &option;
  return nullptr;
}

}  // namespace

const std::array<OptionSpec, 8>& optionTable() { return options; }

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
    if (const OptionSpec* option = findOption(argument)) {
      const std::string_view which = option->name;
      if (option->value.empty()) {
        if (which == "--development-loopback") developmentLoopback = true;
        if (which == "--render-only") renderOnly = true;
        if (which == "--help") help = true;
        if (which == "--version") version = true;
        continue;
      }
      if (i + 1 >= arguments.size()) throw CVError::invalid(L10n::text("Missing value for %1$@", argument));
      const std::string& value = arguments[++i];
      if (which == "--data-dir") {
        fs::path path = expandTilde(value, context.home);
        dataDirectory = path.is_absolute() ? path : context.currentDirectory / path;
      } else if (which == "--url") {
        origin = value;
      } else if (which == "--codex") {
        codex = value;
        explicitCodex = true;
      } else if (which == "--name") {
        name = value;
      }
    } else if (const Command* word = findCommand(argument)) {
      if (command) throw CVError::invalid(L10n::text("Specify only one command"));
      command = word;
    } else {
      throw CVError::invalid(L10n::text("Unknown argument: %1$@", argument));
    }
  }
  if (!command && !help && !version) throw CVError::invalid(usageLine());
  dataDirectory = standardized(dataDirectory);
}

}  // namespace corvane
