#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::platform {

// The path of the running executable as the kernel reports it, or nothing.
std::optional<std::filesystem::path> runningExecutable();

// A path that starts the image this process runs, for this process's own
// spawns of itself: it stays valid when the executable's file is replaced
// or removed on disk meanwhile (an upgrade in place), and it always starts
// the same build. The path names the image of whichever process executes
// it, so it is never to be handed to another. Nothing when the system
// cannot tell.
std::optional<std::filesystem::path> runningImage();

// The user's home directory: HOME when it is an absolute path, else the
// password database's entry for the real user.
std::filesystem::path homeDirectory();

// The computer's human-readable name: the pretty host name when one is set,
// else the network host name; nothing when the system gives neither.
std::optional<std::string> localizedHostName();

// The user's preferred languages, most preferred first, as the environment
// states them: LANGUAGE (a colon-separated list), then LC_ALL, LC_MESSAGES and
// LANG. Entries are kept as written ("zh_CN.UTF-8", "en-GB"); "C" and
// "POSIX" say nothing about a language and are left out.
std::vector<std::string> preferredLanguages();

// The running system's version as three numbers, always all three: what a
// support report says the program ran on.
struct OperatingSystemVersion {
  uint64_t major = 0;
  uint64_t minor = 0;
  uint64_t patch = 0;

  std::string text() const;  // "6.1.0"
  friend bool operator==(const OperatingSystemVersion&, const OperatingSystemVersion&) = default;
};

// The kernel's release (uname), the version that exists on every Linux
// system; 0.0.0 when the system does not tell.
OperatingSystemVersion operatingSystemVersion();

// The leading numbers of a release text such as "6.1.0-18-amd64" or
// "5.15.153.1-microsoft-standard": up to three runs of digits separated by
// ".", a missing one being 0; whatever follows is a build label.
OperatingSystemVersion operatingSystemVersion(std::string_view release);

}  // namespace corvane::platform
