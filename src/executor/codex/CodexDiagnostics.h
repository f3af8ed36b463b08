#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "executor/codex/CodexFailure.h"
#include "executor/support/DataDirectory.h"
#include "executor/support/Json.h"
#include "executor/support/Parsing.h"

namespace corvane {

// The recent Codex failures of one data directory, kept private in
// codex-diagnostics.json (DataDirectory::codexDiagnostics): at most 128
// entries, none older than 7 days or dated in the future. Every record
// rewrites (and so prunes) the file; a missing, oversized, linked or malformed
// file reads as empty and is replaced by the next record. Recording is
// serialised by one process-wide lock; reading takes none and sees the file
// before or after a write, never half of one.
class CodexDiagnostics {
 public:
  struct Entry {
    double recordedAt = 0;  // seconds since 1970-01-01 UTC
    std::string code;       // a failure code's raw value
    std::optional<int> rpcCode;
    std::optional<int> httpStatus;

    Json json() const;  // the absent numbers are left out
    friend bool operator==(const Entry&, const Entry&) = default;
  };

  static constexpr size_t maximumEntries = 128;
  static constexpr double maximumAgeSeconds = 604800;
  static constexpr size_t fileLimit = 65536;

  explicit CodexDiagnostics(std::filesystem::path directory) : directory_(std::move(directory)) {}

  // Logs the failure and appends it to the history. Never fails: a history
  // that cannot be written is logged and left as it was.
  void record(const CodexFailure& failure, WallTime now) const;

  // The valid, recent entries, oldest first.
  std::vector<Entry> entries(WallTime now) const;

  // {"entries": [...], "schemaVersion": 1, "exportedAt": ISO 8601 time}.
  Json exportHistory(WallTime now) const;

  std::filesystem::path file() const { return directory_ / DataDirectory::codexDiagnostics; }

 private:
  std::filesystem::path directory_;
};

}  // namespace corvane
