#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The private Codex home of each ChatGPT account served from one data
// directory ("codex/<credential identifier>"), and what pins every runtime
// run to one behaviour: the fixed configuration file in the home, the
// configuration overrides on the command line and a small, clean
// environment. The runtime's own files and the executor's per-account
// observation files live beside the configuration in the home, so nothing
// mixes between accounts. Stateless apart from the directory; thread-safe.
class CodexAccountHome {
 public:
  // The whole configuration file: credentials in the system keyring, no
  // analytics. Rewritten at every use so that a file changed by anyone
  // else is restored before the runtime reads it.
  static constexpr std::string_view configuration =
      "cli_auth_credentials_store = \"keyring\"\n"
      "[analytics]\n"
      "enabled = false\n";
  static constexpr const char* configurationFileName = "config.toml";

  // Where a variable of the executor's own environment is looked up;
  // nothing when it is not set.
  using VariableLookup = std::function<std::optional<std::string>(const char* name)>;
  static std::optional<std::string> processVariable(const char* name);

  explicit CodexAccountHome(std::filesystem::path dataDirectory) : dataDirectory_(std::move(dataDirectory)) {}

  // The directory that holds every account home.
  std::filesystem::path homesDirectory() const;

  // Prepares and returns the home of credentialID: both directories private
  // (0700, created when missing), the configuration file opened without
  // following a link, truncated, written in one piece and flushed to disk.
  // CVError.runtime("invalid_account") before anything is created when
  // credentialID is not an identifier; privateDirectory's errors for the
  // directories; CVError.storage when the configuration file cannot be
  // opened as a regular file (a symbolic link in its place included, whose
  // target is left untouched), written in full or flushed.
  std::filesystem::path accountHome(std::string_view credentialID) const;

  // The configuration overrides of a run whose throw-away working
  // directory is work: "-c" and "key=value" for each, logs and state kept
  // inside work, 58 arguments in all. String values are quoted so that they
  // read the same as JSON and as TOML basic strings.
  static std::vector<std::string> settings(const std::filesystem::path& work);

  // The whole environment of a run with home as CODEX_HOME: PATH, HOME,
  // LANG and TMPDIR copied from lookup where they are set there, and
  // nothing else.
  static std::map<std::string, std::string> cleanEnvironment(const std::filesystem::path& home,
                                                             const VariableLookup& lookup = processVariable);

 private:
  std::filesystem::path dataDirectory_;
};

}  // namespace corvane
