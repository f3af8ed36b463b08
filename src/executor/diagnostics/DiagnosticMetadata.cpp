#include "executor/diagnostics/DiagnosticMetadata.h"

#include "executor/diagnostics/StrictFields.h"
#include "executor/support/CVError.h"
#include "executor/support/PackagedEnvironment.h"
#include "executor/support/Paths.h"

namespace corvane {

namespace {

std::optional<InfoDictionary> bundleInfo(const std::optional<std::filesystem::path>& executable) {
  if (!executable) return std::nullopt;
  std::filesystem::path directory = standardized(*executable).parent_path();
  if (!isBundleExecutableDirectory(directory)) return std::nullopt;
  try {
    return readInfoPlist(directory.parent_path() / "Info.plist");
  } catch (const CVError&) {
    return std::nullopt;
  }
}

}  // namespace

bool DiagnosticMetadata::isVersion(std::string_view text) {
  if (text == unknown) return true;
  // 1 to 4 runs of 1 to 10 ASCII digits joined by ".".
  int dots = 0;
  size_t digits = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      if (++digits > 10) return false;
    } else if (c == '.') {
      if (digits == 0 || ++dots > 3) return false;
      digits = 0;
    } else {
      return false;
    }
  }
  return digits > 0;
}

DiagnosticMetadata DiagnosticMetadata::current() {
  return of(platform::runningExecutable(), platform::operatingSystemVersion());
}

DiagnosticMetadata DiagnosticMetadata::of(const std::optional<std::filesystem::path>& executable,
                                          const platform::OperatingSystemVersion& system) {
  DiagnosticMetadata metadata{unknown, unknown, unknown, system.text()};
  if (auto info = bundleInfo(executable)) {
    auto value = [&](const char* key) {
      auto found = info->find(key);
      return found == info->end() ? std::string(unknown) : found->second;
    };
    metadata.appVersion = value("CFBundleShortVersionString");
    metadata.appBuild = value("CFBundleVersion");
    metadata.codexVersion = bundledCodexVersion;
  }
  return metadata;
}

bool DiagnosticMetadata::valid() const {
  return isVersion(appVersion) && isVersion(appBuild) && isVersion(codexVersion) && isVersion(macOS);
}

Json DiagnosticMetadata::json() const {
  return Json{{"appVersion", appVersion}, {"appBuild", appBuild}, {"codexVersion", codexVersion}, {"macOS", macOS}};
}

std::optional<DiagnosticMetadata> DiagnosticMetadata::decode(const Json& value) {
  if (!value.is_object()) return std::nullopt;
  DiagnosticMetadata metadata;
  using namespace diagnostics;
  if (!readString(value, "appVersion", metadata.appVersion) || !readString(value, "appBuild", metadata.appBuild) ||
      !readString(value, "codexVersion", metadata.codexVersion) || !readString(value, "macOS", metadata.macOS))
    return std::nullopt;
  return metadata;
}

}  // namespace corvane
