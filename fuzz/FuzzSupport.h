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

// One private directory for the whole run, removed at its end: under
// $CORVANE_FUZZ_SCRATCH (scripts/fuzz points it at tmpfs, where the fsync of
// every atomic write costs nothing), else /dev/shm, else the temp directory.
inline const std::filesystem::path& scratchDirectory() {
  static const std::filesystem::path directory = [] {
    const char* chosen = std::getenv("CORVANE_FUZZ_SCRATCH");
    std::filesystem::path base = chosen && *chosen                           ? std::filesystem::path(chosen)
                                 : std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                                             : std::filesystem::temp_directory_path();
    std::string pattern = (base / "corvane-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    return std::filesystem::path(pattern);
  }();
  static const bool removedAtExit = [] {
    return std::atexit([] {
             std::error_code ignored;
             std::filesystem::remove_all(directory, ignored);
           }) == 0;
  }();
  (void)removedAtExit;
  return directory;
}

// Empties the scratch directory, so one input never sees another's files.
inline const std::filesystem::path& freshScratchDirectory() {
  const auto& directory = scratchDirectory();
  for (const auto& entry : std::filesystem::directory_iterator(directory)) std::filesystem::remove_all(entry.path());
  return directory;
}

}  // namespace corvane::fuzz
