#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

struct Command;

// What the option defaults are made of. current() asks the system; tests
// build their own.
struct OptionsContext {
  std::optional<std::filesystem::path> executable;  // the running tool, when known
  std::filesystem::path home;
  std::filesystem::path currentDirectory;
  std::optional<std::string> hostName;

  static OptionsContext current();
};

// One option of the command line; the table of them drives both the parser
// and the help.
struct OptionSpec {
  std::string_view name;       // "--data-dir"
  std::string_view shortName;  // "-h", or empty
  std::string_view value;      // the value's placeholder ("PATH"), an English L10n key; empty for a flag
  std::string_view summary;    // a few words for the help, an English L10n key
};

// Every option, in the order the help lists them.
const std::array<OptionSpec, 8>& optionTable();

// The parsed command line of one run.
struct Options {
  // The row of the command word (Commands.h); nullptr only when the help or
  // the version is asked for.
  const Command* command = nullptr;
  std::filesystem::path dataDirectory;  // standardized, not yet created
  // The run's argument 0, the path it was started with: what the background
  // service runs.
  std::string program;
  std::optional<std::string> origin;  // --url
  std::string codex = "codex";
  bool explicitCodex = false;
  std::string name;  // --name, default the host name or "Mac"
  bool developmentLoopback = false;
  bool renderOnly = false;
  bool help = false;     // --help or -h: print the help instead of running a command
  bool version = false;  // --version: print the version instead of running a command

  Options() = default;

  // Parses the arguments after the program name. CVError.invalid for a
  // missing value, an unknown argument, a second command word or no command
  // (unless the help or the version is asked for); and whatever the
  // packaged-environment check throws, since the default data directory
  // depends on it.
  explicit Options(const std::vector<std::string>& arguments,
                   const OptionsContext& context = OptionsContext::current());

  // The data directory when --data-dir is not given.
  static std::filesystem::path defaultDataDirectory(const OptionsContext& context);
};

}  // namespace corvane
