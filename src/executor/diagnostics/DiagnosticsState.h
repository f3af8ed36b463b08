#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "executor/diagnostics/DiagnosticEvent.h"
#include "executor/diagnostics/ProblemReport.h"
#include "executor/support/Json.h"

namespace corvane {

// The whole content of support-diagnostics.json: one pairing's events and
// reports and the upload's back-off. A plain value.
struct DiagnosticsState {
  std::string scope;  // the pairing this state belongs to (SupportDiagnostics::scope)
  bool enabled = true;
  std::vector<DiagnosticEvent> events;  // oldest first
  std::vector<ProblemReport> reports;   // oldest first
  int64_t attempts = 0;                 // consecutive failed uploads
  double retryAt = 0;                   // Unix seconds before which no upload is tried

  static constexpr size_t maximumEvents = 128;
  static constexpr size_t maximumReports = 5;
  static constexpr int64_t maximumAttempts = 10;
  // The longest back-off; a later retryAt comes from a clock set back or a
  // damaged file, and would stop the upload for good.
  static constexpr double maximumRetryDelaySeconds = 3600;

  // The state a new pairing starts with: on, empty.
  static DiagnosticsState fresh(std::string scope);

  // Brings a stored state within its limits at now: drops the events that
  // are not valid and keeps the newest 128; drops the reports that are not
  // valid and keeps the newest 5, then drops the invalid events inside each;
  // clamps attempts to 0...10; resets a retryAt that is not finite or lies
  // more than an hour ahead to 0.
  void sanitize(WallTime now);

  // Keeps the newest 128 events.
  void trimEvents();

  Json json() const;
  // Nothing unless value is an object with all six members of their types
  // and every event and report decodes.
  static std::optional<DiagnosticsState> decode(const Json& value);

  friend bool operator==(const DiagnosticsState&, const DiagnosticsState&) = default;
};

}  // namespace corvane
