#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "executor/codex/CodexFailure.h"
#include "executor/diagnostics/DiagnosticMetadata.h"
#include "executor/diagnostics/DiagnosticsState.h"
#include "executor/support/Json.h"
#include "executor/support/Parsing.h"

namespace corvane {

// The task an event is about: the identifiers of an offered task and what
// it does, nothing else of it.
struct DiagnosticTask {
  std::string id;
  std::string accountId;
  std::string action;  // "connect", "read", "ping" or "remove"
};

// Sends body to a coordinator path and returns the answer object; throws as
// CoordinatorClient::post does.
using DiagnosticsPost = std::function<Json(const std::string& path, const Json& body)>;

// The support diagnostics of one data directory: sanitized events of Codex
// requests and tasks, and the problem reports the user files, kept in
// support-diagnostics.json for the current pairing, and their upload.
//
// Events are recorded whether automatic diagnostics are on or not; while
// they are off new events are stored as delivered, so they never go out by
// themselves but still travel inside a report. Reports go out either way.
//
// Every operation is one transaction: support-diagnostics.lock is locked
// (flock, exclusive, without waiting) from before the file is read until
// after it is written, so the processes sharing the directory (the
// background executor, the tray app's command runs) never interleave. A
// process that finds the lock taken by another fails at once with
// CVError.storage; threads of one process wait for each other instead, since
// a transaction only reads and writes a small file. The state is tied to the
// pairing in coordinator.json: a state of another pairing is discarded, and
// without a usable coordinator.json every transaction fails with
// CVError.storage. Each transaction prunes by age and count, and writes the
// file only when that or the operation changed it.
//
// The object holds no mutable state; it is cheap to make and may be used
// from any thread.
class SupportDiagnostics {
 public:
  // After a successful upload, the next waits this long.
  static constexpr double pauseAfterUploadSeconds = 5;
  // Events per upload request.
  static constexpr size_t eventsPerRequest = 32;
  static constexpr const char* eventsPath = "/v1/executor/diagnostics";
  static constexpr const char* reportsPath = "/v1/executor/support-reports";
  // Texts of fixed failures, kept unlocalized.
  static constexpr const char* reportTooLongText = "Report too long";
  static constexpr const char* invalidReceiptText = "Invalid diagnostic receipt";

  // Does no input or output.
  SupportDiagnostics(std::filesystem::path directory, DiagnosticMetadata metadata);

  // Adds one event with code, the task's identifiers and action, the
  // duration and the failure's runtime and HTTP codes. Never fails: an event
  // that is not valid at now, or that cannot be stored (not paired, the lock
  // held by another process, a write failure), is dropped.
  void record(std::string_view code, const std::optional<DiagnosticTask>& task, std::optional<int64_t> durationMs,
              const std::optional<CodexFailure>& failure, WallTime now) const noexcept;

  // Turns automatic diagnostics on or off. A change either way marks every
  // stored event delivered: the upload queue empties, the events stay for
  // reports. Throws the transaction's error.
  void setEnabled(bool enabled, WallTime now) const;

  // {"enabled", "pendingCount"} and, once a report was filed, the newest
  // report's "reportStatus" and "reportId" (null until it has one). On any
  // failure {"enabled": true, "pendingCount": 0}.
  Json status(WallTime now) const noexcept;

  // {"events": [...]}: the stored events, oldest first, without their
  // delivered flag; {"events": []} on any failure.
  Json exportEvents(WallTime now) const noexcept;

  // Files a problem report with description (kept as typed; empty is
  // allowed) and a copy of the stored events, and returns its id. While a
  // report is pending no other is filed: the pending one's id is returned
  // and description is dropped. Clears the back-off, so the next upload
  // sends the report at once. CVError.invalid "Report too long" for more
  // than 1000 UTF-16 code units; the transaction's error otherwise.
  std::string submit(std::string_view description, WallTime now) const;

  // Uploads what is pending: the oldest pending report, or else up to 32
  // undelivered events (none while automatic diagnostics are off), in one
  // request through post. The receipt must acknowledge exactly what was
  // sent; then the items are marked by id (a report "submitted" with its
  // support number, its text and events then dropped) and the next upload
  // waits 5 seconds. A refusal for good (HTTP 400, 401, 403, 413, 422) gives
  // the items up (a report "failed", events delivered unsent); every failure
  // backs off 15 seconds doubling to an hour. Never fails. Returns at once,
  // touching nothing, while another upload holds support-upload.lock, and
  // does nothing before the back-off's time or without a usable state. The
  // state lock is never held during the request, and an answer that arrives
  // after the directory was paired again changes nothing.
  void flush(WallTime now, const DiagnosticsPost& post) const noexcept;

  // The wait after the n-th consecutive failed upload: 15 s doubling, at
  // most an hour.
  static double backOffSeconds(int64_t attempts);

  const std::filesystem::path& directory() const { return directory_; }
  const DiagnosticMetadata& metadata() const { return metadata_; }

 private:
  // Runs body on the sanitized state under the lock and writes the state
  // back when it changed. Nothing is written when body throws.
  void transaction(WallTime now, const std::function<void(DiagnosticsState&)>& body) const;

  // The lower-case hexadecimal SHA-256 of coordinator.json's url, "\n" and
  // its deviceId in lower case. CVError.storage when coordinator.json is
  // missing, a link, not a JSON object, or lacks a string url or a UUID
  // deviceId.
  std::string scope() const;

  std::filesystem::path directory_;
  DiagnosticMetadata metadata_;
};

}  // namespace corvane
