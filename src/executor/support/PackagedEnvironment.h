#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace corvane {

// The string values of an Info.plist dictionary, keyed by name; values of
// other types are left out.
using InfoDictionary = std::map<std::string, std::string>;

// Reads an XML or binary property list. CVError.storage when the file cannot be
// read, does not parse, or is not a dictionary.
InfoDictionary readInfoPlist(const std::filesystem::path& file);

// The build channel of the application bundle the tool runs from. It decides
// the default data directory, so a bundle whose channel and identifier do not
// belong together is refused outright.
class PackagedEnvironment {
 public:
  static constexpr const char* invalidText = "Invalid packaged environment";

  // Nothing for a plain build (the executable is not in "Contents/MacOS");
  // otherwise the environment of Contents/Info.plist. Throws as
  // readInfoPlist() and the constructor do.
  static std::optional<PackagedEnvironment> current(const std::optional<std::filesystem::path>& executable);

  // CVError.invalid("Invalid packaged environment") unless CorvaneBuildChannel
  // is "staging" with CFBundleIdentifier "com.corvane.macos.staging", or
  // "production" with "com.corvane.macos".
  explicit PackagedEnvironment(const InfoDictionary& info);

  const std::string& channel() const { return channel_; }

  // "<Production|Staging>/Executor" in the application-support directory of
  // home (on Linux ~/.local/share/corvane).
  std::filesystem::path dataDirectory(const std::filesystem::path& home) const;

 private:
  std::string channel_;
};

}  // namespace corvane
