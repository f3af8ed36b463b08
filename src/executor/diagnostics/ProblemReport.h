#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "executor/diagnostics/DiagnosticEvent.h"
#include "executor/diagnostics/DiagnosticMetadata.h"
#include "executor/support/Json.h"

namespace corvane {

// A problem report the user filed: their description, the versions, and a
// copy of the events stored when it was filed. A plain value; JSON keys are
// the field names, "reportId" written only when present.
struct ProblemReport {
  std::string id;           // a UUID; new reports use a random one in lower case
  double recordedAt = 0;    // Unix seconds
  std::string description;  // the user's text, as typed
  DiagnosticMetadata metadata;
  std::vector<DiagnosticEvent> events;
  std::string status;                   // pending, submitted or failed
  std::optional<std::string> reportId;  // the support number the coordinator gave

  static constexpr const char* pending = "pending";      // not yet accepted by the coordinator
  static constexpr const char* submitted = "submitted";  // accepted, with its support number
  static constexpr const char* failed = "failed";        // refused for good

  static constexpr size_t maximumDescriptionUnits = 1000;  // UTF-16 code units, as the tray app counts
  static constexpr size_t maximumEvents = 128;
  static constexpr double maximumAgeSeconds = 604800;

  // Whether the report may be kept at now: not dated in the future, at most
  // seven days old, every field within its rule. The events inside are
  // checked one by one by the state, not here.
  bool valid(WallTime now) const;

  // Whether text is a support number: "CV-" and 73 hexadecimal digits and
  // dashes.
  static bool isSupportNumber(std::string_view text);

  // The length of UTF-8 text in UTF-16 code units: a character outside the
  // Basic Multilingual Plane (most emoji) counts two. A byte that starts no
  // valid sequence counts one.
  static size_t utf16Length(std::string_view text);

  // The stored form.
  Json json() const;
  // The upload body: id, recordedAt, description, metadata and the events in
  // their wire form; not the status or the support number.
  Json wire() const;
  static std::optional<ProblemReport> decode(const Json& value);

  friend bool operator==(const ProblemReport&, const ProblemReport&) = default;
};

}  // namespace corvane
