#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "executor/support/Json.h"

namespace corvane {

// The only ways the executor creates directories and writes files. Everything
// is private to the user, and a symbolic link where a directory should be is
// refused, never followed. All functions are stateless and thread-safe.

// Ensures directory exists as a real directory with mode 0700, creating it
// (and missing parents) when absent and narrowing a wider mode.
// CVError.storage for a symbolic link or a non-directory in its place.
void privateDirectory(const std::filesystem::path& directory);

// The real path of directory, every symbolic link and relative component
// resolved. CVError.storage when it cannot be resolved.
std::filesystem::path canonicalDirectory(const std::filesystem::path& directory);

// Replaces file with bytes atomically: a sibling temp file created exclusively,
// without following links, mode 0600, written in full, fsynced and renamed
// over file. Readers see the old content or the new, never a mix; a link
// planted at file is replaced, not followed. CVError.storage on any failure,
// after which no temp file is left.
void atomicPrivateFile(std::string_view bytes, const std::filesystem::path& file);

// atomicPrivateFile of the compact JSON of object. CVError.invalid
// ("Invalid JSON") before anything is created when object is not a JSON
// object or holds a non-finite number or invalid UTF-8.
void atomicPrivateJSON(const Json& object, const std::filesystem::path& file);

// The bytes of file when it is a regular file (not a symbolic link) of at most
// limit bytes; nothing otherwise, including any read error. This is how status
// files are read: anything unreadable counts as absent.
std::optional<std::string> readPrivateFile(const std::filesystem::path& file, size_t limit);

// readPrivateFile parsed as a JSON object; nothing when it is not one.
std::optional<Json> readJSONObjectFile(const std::filesystem::path& file, size_t limit);

// The bound for the small status files of the data directory.
inline constexpr size_t statusFileLimit = 16384;

}  // namespace corvane
