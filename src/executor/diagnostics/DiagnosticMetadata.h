#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "executor/support/Json.h"
#include "platform/SystemInfo.h"

namespace corvane {

// The versions stamped on every support event and problem report: which
// build of the application, which Codex runtime, which operating system. Only
// version numbers, so nothing about the user travels with them. A plain
// value; JSON keys are the field names.
struct DiagnosticMetadata {
  std::string appVersion;    // CFBundleShortVersionString of the bundle's Info.plist, or "unknown"
  std::string appBuild;      // CFBundleVersion, or "unknown"
  std::string codexVersion;  // the runtime shipped with the bundle, or "unknown" without a bundle
  std::string macOS;         // the operating system as major.minor.patch

  // The version of the Codex runtime the bundle ships.
  static constexpr const char* bundledCodexVersion = "0.146.0";
  static constexpr const char* unknown = "unknown";

  // The metadata of the running program: the Info.plist of the application
  // bundle the executable runs from, and the running system's version.
  static DiagnosticMetadata current();

  // The metadata of an executable at that path on a system of that version.
  // The Info.plist is Contents/Info.plist of an executable in
  // <bundle>/Contents/MacOS; for any other executable, or an Info.plist that
  // cannot be read or is no dictionary, the three bundle values are
  // "unknown".
  static DiagnosticMetadata of(const std::optional<std::filesystem::path>& executable,
                               const platform::OperatingSystemVersion& system);

  // Whether each of the four is "unknown" or one to four dot-separated runs
  // of 1 to 10 digits. Events and reports carrying anything else are not
  // kept, so free text can never ride along in a version field.
  bool valid() const;
  static bool isVersion(std::string_view text);

  Json json() const;
  // Nothing unless value is an object with all four members as strings.
  static std::optional<DiagnosticMetadata> decode(const Json& value);

  friend bool operator==(const DiagnosticMetadata&, const DiagnosticMetadata&) = default;
};

}  // namespace corvane
