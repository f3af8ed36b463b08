#pragma once

#include <filesystem>

namespace corvane {

// path with "." and ".." resolved lexically and no trailing separator; the
// file system is not consulted.
std::filesystem::path standardized(const std::filesystem::path& path);

// path with a leading "~" (alone or before "/") replaced by home.
std::filesystem::path expandTilde(const std::filesystem::path& path, const std::filesystem::path& home);

// Whether anything is at path, without following a symbolic link: a dangling
// link is an entry too. An entry that cannot be examined counts as absent.
bool entryExists(const std::filesystem::path& path);

// Whether path itself is a symbolic link (dangling or not). An entry that
// cannot be examined is not one.
bool isSymbolicLink(const std::filesystem::path& path);

// Whether directory is "<x>/Contents/MacOS", the executable directory of an
// application bundle (as opposed to a plain build).
bool isBundleExecutableDirectory(const std::filesystem::path& directory);

}  // namespace corvane
