#include "platform/SystemInfo.h"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace corvane::platform {

std::optional<std::filesystem::path> runningExecutable() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error || path.empty()) return std::nullopt;
  return path;
}

std::optional<std::filesystem::path> runningImage() {
  // Not the path the executable was started from: a package upgrade
  // replaces that file, the kernel then reports the old path with
  // " (deleted)" appended, and a fresh look-up would find another build or
  // nothing. The kernel's own link reaches the running image for as long as
  // the process lives.
  const std::filesystem::path image = "/proc/self/exe";
  if (access(image.c_str(), X_OK) != 0) return std::nullopt;
  return image;
}

std::filesystem::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir) return found->pw_dir;
  return "/";
}

namespace {

// /etc/machine-info is a shell-style assignment list; PRETTY_HOSTNAME may be
// quoted and may contain backslash escapes.
std::optional<std::string> prettyHostName() {
  std::ifstream file("/etc/machine-info");
  std::string line;
  while (std::getline(file, line)) {
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    if (line.compare(0, key.size(), key) != 0) continue;
    std::string value;
    char quote = 0;
    for (size_t i = key.size(); i < line.size(); ++i) {
      char c = line[i];
      if (quote == 0 && (c == '"' || c == '\'')) {
        quote = c;
      } else if (c == quote) {
        quote = 0;
      } else if (c == '\\' && quote != '\'' && i + 1 < line.size()) {
        value += line[++i];
      } else {
        value += c;
      }
    }
    if (!value.empty()) return value;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> localizedHostName() {
  if (auto pretty = prettyHostName()) return pretty;
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return std::string(name);
  return std::nullopt;
}

std::vector<std::string> preferredLanguages() {
  std::vector<std::string> languages;
  auto add = [&](std::string tag) {
    if (tag.empty() || tag == "C" || tag == "POSIX" || tag.rfind("C.", 0) == 0) return;
    languages.push_back(std::move(tag));
  };
  if (const char* list = std::getenv("LANGUAGE")) {
    std::string_view rest = list;
    while (!rest.empty()) {
      auto colon = rest.find(':');
      add(std::string(rest.substr(0, colon)));
      rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
    }
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
    if (const char* value = std::getenv(name)) add(value);
  return languages;
}

std::string OperatingSystemVersion::text() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

OperatingSystemVersion operatingSystemVersion() {
  utsname name{};
  if (uname(&name) != 0) return {};
  return operatingSystemVersion(name.release);
}

OperatingSystemVersion operatingSystemVersion(std::string_view release) {
  uint64_t parts[3] = {0, 0, 0};
  size_t at = 0;
  for (auto& part : parts) {
    size_t start = at;
    // Nineteen digits always fit; a longer run is no version number.
    while (at < release.size() && at - start < 19 && release[at] >= '0' && release[at] <= '9')
      part = part * 10 + static_cast<uint64_t>(release[at++] - '0');
    if (at == start || at == release.size() || release[at] != '.') break;
    if (at + 1 == release.size() || release[at + 1] < '0' || release[at + 1] > '9') break;
    ++at;
  }
  return {parts[0], parts[1], parts[2]};
}

}  // namespace corvane::platform
