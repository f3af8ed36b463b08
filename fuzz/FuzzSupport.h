#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string_view>

#include "executor/support/Json.h"

namespace corvane::fuzz {

inline std::string_view text(const uint8_t* data, size_t size) { return {reinterpret_cast<const char*>(data), size}; }

// A broken property of a parser is a finding like a crash: abort, so
// libFuzzer keeps the input.
inline void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz property broken: %s\n", what);
  std::abort();
}

// One private directory for the whole run, on tmpfs where there is one, so
// the fsync of every atomic write costs nothing.
inline const std::filesystem::path& scratchDirectory() {
  static const std::filesystem::path directory = [] {
    std::filesystem::path base =
        std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    std::string pattern = (base / "corvane-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    return std::filesystem::path(pattern);
  }();
  return directory;
}

// Empties the scratch directory, so one input never sees another's files.
inline const std::filesystem::path& freshScratchDirectory() {
  const auto& directory = scratchDirectory();
  for (const auto& entry : std::filesystem::directory_iterator(directory)) std::filesystem::remove_all(entry.path());
  return directory;
}

}  // namespace corvane::fuzz
