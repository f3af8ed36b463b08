#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "executor/support/Json.h"
#include "executor/support/Parsing.h"

namespace corvane {

// The phase of each usage window of an account, which the rate-limit
// snapshot alone cannot tell: "active" (started, counting down to a fixed
// reset time), "waiting" (not started: nothing used, and the reported reset
// time floats one full window length ahead of the clock) or "unknown". A
// small per-account record of every window across readings, kept in the
// account's Codex home, shows how the reset time and the usage behave:
// - usage before the reset time, or a reset time that has held still for
//   15 seconds, makes a window active;
// - a reset time that drifts with the clock on two consecutive readings
//   spanning 20 seconds or more, with nothing used, makes it waiting, and it
//   stays waiting while the reset time then holds still for less than 15 s.
// A change of e-mail or plan, a gap of more than 30 minutes or a reading not
// later than the last one starts a window's history over.
//
// State file: {"email": the sample's as read, or null; "planType": the
// sample's or null; "windows": window key -> {"at", "reset", "used",
// "candidateAt", "nearFullDuration", "driftAt", "driftCount", "state"}} for
// the windows of the latest reading only.
//
// Stateless; one account's file is only ever used by one quota read at a
// time.
class WindowLifecycle {
 public:
  static constexpr const char* stateFileName = "corvane-window-state.json";
  // A window's history is used only from a reading at most this long ago.
  static constexpr double historySeconds = 1800;
  // A plan type may be as long as a runtime line (a mebibyte).
  static constexpr size_t stateFileLimit = 4 * 1024 * 1024;

  static std::filesystem::path stateFile(const std::filesystem::path& home) { return home / stateFileName; }

  // Records the windows of summary (the quota sample so far: "planType",
  // "email", "rateLimits"), read at now, against the state in file and
  // returns their phases: window key -> "active", "waiting" or "unknown".
  // Windows without a numeric usage, or whose length is not a whole number
  // of minutes within the signed 64-bit range, are left out. A missing,
  // unreadable or malformed file counts as no history; CVError.storage when
  // a symbolic link is in its place; the writer's error when the new state
  // cannot be written.
  static Json record(const Json& summary, const std::filesystem::path& file, WallTime now);

  // What of a quota sample decides whether it is worth a new report: the
  // sample without its reset evidence and diagnostic, with the evidence's
  // "bankedStable", and without the reset time of every window that is not
  // active (a waiting window's reset time floats with the clock). Compact
  // JSON with sorted keys; CVError.invalid("Invalid JSON") when the sample
  // cannot be written as JSON.
  static std::string fingerprint(const Json& sample);
};

}  // namespace corvane
