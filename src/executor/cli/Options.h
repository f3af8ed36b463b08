#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// What the option defaults are made of. current() asks the system; tests
// build their own.
struct OptionsContext {
  std::optional<std::filesystem::path> executable;  // the running tool, when known
  std::filesystem::path home;
  std::filesystem::path currentDirectory;
  std::optional<std::string> hostName;

  static OptionsContext current();
};

// The parsed command line of one run.
struct Options {
  std::string command;
  std::filesystem::path dataDirectory;  // standardized, not yet created
  std::optional<std::string> origin;    // --url
  std::string codex = "codex";
  bool explicitCodex = false;
  std::string name;  // --name, default the host name or "Mac"
  bool developmentLoopback = false;
  bool renderOnly = false;

  Options() = default;

  // Parses the arguments after the program name. CVError.invalid for a
  // missing value, an unknown argument, a second command word or no command;
  // and whatever the packaged-environment check throws, since the default data
  // directory depends on it.
  explicit Options(const std::vector<std::string>& arguments,
                   const OptionsContext& context = OptionsContext::current());

  // The data directory when --data-dir is not given.
  static std::filesystem::path defaultDataDirectory(const OptionsContext& context);
};

}  // namespace corvane
