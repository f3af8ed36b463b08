#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "executor/diagnostics/DiagnosticMetadata.h"
#include "executor/support/Json.h"
#include "executor/support/Parsing.h"

namespace corvane {

// One sanitized support event: what happened to a Codex request or a task,
// as a code, timings, versions and identifiers; never an e-mail address, a
// token or a raw answer. A plain value; JSON keys are the field names, and
// the six optional members are written only when present.
struct DiagnosticEvent {
  std::string id;         // a UUID; new events use a random one in lower case
  double recordedAt = 0;  // Unix seconds
  std::string code;       // a Codex failure or success code, or a task_* code
  DiagnosticMetadata metadata;
  std::optional<std::string> taskId;     // a UUID
  std::optional<std::string> accountId;  // a UUID
  std::optional<std::string> action;     // "connect", "read", "ping" or "remove"
  std::optional<int64_t> durationMs;     // 0...86,400,000
  std::optional<int64_t> rpcCode;        // -32768...32767
  std::optional<int64_t> httpStatus;     // 400...599
  bool delivered = false;                // uploaded, or never to be uploaded

  // How far an event may lie ahead of the clock (a clock set back a little)
  // and how old it may grow before it is dropped.
  static constexpr double maximumFutureSeconds = 120;
  static constexpr double maximumAgeSeconds = 604800;

  // Whether the event may be kept at now: every field within its rule.
  bool valid(WallTime now) const;

  // Whether code is one an event may carry: a Codex failure code
  // (codex_account_read_timeout), the success code of a Codex stage
  // (codex_login_start_succeeded), or task_started, task_succeeded,
  // task_failed, task_unknown, task_skipped.
  static bool isEventCode(std::string_view code);

  // The stored form, "delivered" included.
  Json json() const;
  // The form that leaves the computer (uploads, exports): without "delivered".
  Json wire() const;
  // Nothing when value is not an object with the five required members of
  // their types and the optional ones absent, null or of their types.
  static std::optional<DiagnosticEvent> decode(const Json& value);

  friend bool operator==(const DiagnosticEvent&, const DiagnosticEvent&) = default;
};

// Unix seconds of a wall-clock time.
double unixSeconds(WallTime time);

}  // namespace corvane
