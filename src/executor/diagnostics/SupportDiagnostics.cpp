#include "executor/diagnostics/SupportDiagnostics.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <set>
#include <utility>

#include "executor/support/CVError.h"
#include "executor/support/DataDirectory.h"
#include "executor/support/Paths.h"
#include "executor/support/PrivateFiles.h"
#include "executor/support/Sha256.h"
#include "executor/support/Uuid.h"

namespace corvane {

namespace fs = std::filesystem;

namespace {

// The state file is read only up to this size; anything larger is not ours.
constexpr size_t stateFileLimit = 1 << 20;

// Transactions of this process take turns here before they try the file
// lock, so two threads of one process (the upload and a task recording an
// event) never fail each other; only another process finds the lock taken.
std::mutex transactionTurn;

// An exclusive flock on a lock file of the data directory, taken without
// waiting and held while the object lives. The file is created 0600 when
// missing and never written; a link or anything but a regular file in its
// place is refused.
class LockFile {
 public:
  // Nothing when the file cannot be opened so, or another open file of it
  // (another process, or another LockFile) holds the lock.
  static std::optional<LockFile> tryLock(const fs::path& file) {
    // Non-blocking so that a FIFO planted at the path cannot hold the open.
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return std::nullopt;
    LockFile lock(fd);
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    for (;;) {
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) return lock;
      if (errno != EINTR) return std::nullopt;
    }
  }

  LockFile(LockFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  LockFile& operator=(LockFile&&) = delete;
  ~LockFile() {
    if (fd_ >= 0) close(fd_);  // closing the only descriptor releases the lock
  }

 private:
  explicit LockFile(int fd) : fd_(fd) {}
  int fd_;
};

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string newIdentifier() { return lowercase(randomUUID()); }

// A version field that does not pass becomes "unknown", so a report is never
// filed only to be discarded as invalid at the next read.
DiagnosticMetadata reportable(DiagnosticMetadata metadata) {
  for (auto* field : {&metadata.appVersion, &metadata.appBuild, &metadata.codexVersion, &metadata.macOS})
    if (!DiagnosticMetadata::isVersion(*field)) *field = DiagnosticMetadata::unknown;
  return metadata;
}

void markDelivered(DiagnosticsState& state, const std::set<std::string>& ids) {
  for (auto& event : state.events)
    if (ids.contains(event.id)) event.delivered = true;
}

ProblemReport* findReport(DiagnosticsState& state, const std::string& id) {
  auto found = std::find_if(state.reports.begin(), state.reports.end(),
                            [&](const ProblemReport& report) { return report.id == id; });
  return found == state.reports.end() ? nullptr : &*found;
}

bool isRefusalForGood(int status) {
  return status == 400 || status == 401 || status == 403 || status == 413 || status == 422;
}

// What one upload sends: a report, or else a batch of events, never both,
// so that an answer about one can never mark the other.
struct Batch {
  std::string scope;
  std::optional<ProblemReport> report;
  std::vector<DiagnosticEvent> events;

  std::set<std::string> eventIds() const {
    std::set<std::string> ids;
    for (const auto& event : events) ids.insert(event.id);
    return ids;
  }
};

// The set of "acceptedIds" equals the set of ids sent.
bool acknowledgesEvents(const Json& response, const std::set<std::string>& sent) {
  const Json* accepted = member(response, "acceptedIds");
  if (!accepted || !accepted->is_array()) return false;
  std::set<std::string> ids;
  for (const auto& id : *accepted) {
    if (!id.is_string()) return false;
    ids.insert(id.get<std::string>());
  }
  return ids == sent;
}

// The support number of the receipt: a "CV-" number that ends with the id
// of the report sent.
std::optional<std::string> supportNumber(const Json& response, const std::string& reportId) {
  const Json* number = member(response, "reportId");
  if (!number || !number->is_string()) return std::nullopt;
  std::string text = number->get<std::string>();
  if (!ProblemReport::isSupportNumber(text) || !text.ends_with(reportId)) return std::nullopt;
  return text;
}

}  // namespace

SupportDiagnostics::SupportDiagnostics(fs::path directory, DiagnosticMetadata metadata)
    : directory_(std::move(directory)), metadata_(std::move(metadata)) {}

std::string SupportDiagnostics::scope() const {
  auto record = readJSONObjectFile(directory_ / DataDirectory::pairingRecord, statusFileLimit);
  if (!record) throw CVError::storage();
  const Json* url = member(*record, "url");
  const Json* deviceId = member(*record, "deviceId");
  if (!url || !url->is_string() || !deviceId || !deviceId->is_string() || !isUUID(deviceId->get<std::string>()))
    throw CVError::storage();
  return sha256Hex(url->get<std::string>() + "\n" + lowercase(deviceId->get<std::string>()));
}

void SupportDiagnostics::transaction(WallTime now, const std::function<void(DiagnosticsState&)>& body) const {
  if (isSymbolicLink(directory_)) throw CVError::storage();
  std::string currentScope = scope();
  std::lock_guard turn(transactionTurn);
  auto lock = LockFile::tryLock(directory_ / DataDirectory::supportDiagnosticsLock);
  if (!lock) throw CVError::storage();

  fs::path file = directory_ / DataDirectory::supportDiagnostics;
  DiagnosticsState state = DiagnosticsState::fresh(currentScope);
  // Whatever cannot be used (missing, linked, oversized, damaged, another
  // pairing's) is replaced by the fresh state below.
  auto stored = readPrivateFile(file, stateFileLimit);
  if (stored) {
    auto parsed = parseJSON(*stored);
    auto decoded = parsed ? DiagnosticsState::decode(*parsed) : std::nullopt;
    if (decoded && decoded->scope == currentScope) state = std::move(*decoded);
  }
  state.sanitize(now);
  body(state);
  std::string encoded = compactJSON(state.json());
  if (!stored || encoded != *stored) atomicPrivateFile(encoded, file);
}

void SupportDiagnostics::record(std::string_view code, const std::optional<DiagnosticTask>& task,
                                std::optional<int64_t> durationMs, const std::optional<CodexFailure>& failure,
                                WallTime now) const noexcept {
  try {
    DiagnosticEvent event;
    event.id = newIdentifier();
    event.recordedAt = unixSeconds(now);
    event.code = std::string(code);
    event.metadata = metadata_;
    if (task) {
      event.taskId = task->id;
      event.accountId = task->accountId;
      event.action = task->action;
    }
    event.durationMs = durationMs;
    if (failure) {
      event.rpcCode = failure->rpcCode;
      event.httpStatus = failure->httpStatus;
    }
    if (!event.valid(now)) return;
    transaction(now, [&](DiagnosticsState& state) {
      event.delivered = !state.enabled;
      state.events.push_back(event);
      state.trimEvents();
    });
  } catch (...) {
    // An event is worth less than the operation it describes: dropped.
  }
}

void SupportDiagnostics::setEnabled(bool enabled, WallTime now) const {
  transaction(now, [&](DiagnosticsState& state) {
    if (state.enabled == enabled) return;
    state.enabled = enabled;
    for (auto& event : state.events) event.delivered = true;
  });
}

Json SupportDiagnostics::status(WallTime now) const noexcept {
  try {
    Json result;
    transaction(now, [&](DiagnosticsState& state) {
      auto pending = state.enabled ? std::count_if(state.events.begin(), state.events.end(),
                                                   [](const DiagnosticEvent& event) { return !event.delivered; })
                                   : 0;
      result = Json{{"enabled", state.enabled}, {"pendingCount", pending}};
      if (!state.reports.empty()) {
        const auto& newest = state.reports.back();
        result["reportStatus"] = newest.status;
        result["reportId"] = newest.reportId ? Json(*newest.reportId) : Json(nullptr);
      }
    });
    return result;
  } catch (...) {
    return Json{{"enabled", true}, {"pendingCount", 0}};
  }
}

Json SupportDiagnostics::exportEvents(WallTime now) const noexcept {
  try {
    Json events = Json::array();
    transaction(now, [&](DiagnosticsState& state) {
      for (const auto& event : state.events) events.push_back(event.wire());
    });
    return Json{{"events", std::move(events)}};
  } catch (...) {
    return Json{{"events", Json::array()}};
  }
}

std::string SupportDiagnostics::submit(std::string_view description, WallTime now) const {
  if (ProblemReport::utf16Length(description) > ProblemReport::maximumDescriptionUnits)
    throw CVError::invalid(reportTooLongText);
  std::string id;
  transaction(now, [&](DiagnosticsState& state) {
    for (auto report = state.reports.rbegin(); report != state.reports.rend(); ++report) {
      if (report->status == ProblemReport::pending) {
        id = report->id;
        return;
      }
    }
    ProblemReport report{.id = newIdentifier(),
                         .recordedAt = unixSeconds(now),
                         .description = std::string(description),
                         .metadata = reportable(metadata_),
                         .events = state.events,
                         .status = ProblemReport::pending,
                         .reportId = std::nullopt};
    id = report.id;
    state.reports.push_back(std::move(report));
    if (state.reports.size() > DiagnosticsState::maximumReports)
      state.reports.erase(state.reports.begin(), state.reports.end() - DiagnosticsState::maximumReports);
    state.retryAt = 0;
  });
  return id;
}

double SupportDiagnostics::backOffSeconds(int64_t attempts) {
  if (attempts < 1) return 0;
  // 15 * 2^8 = 3840 already passes the hour.
  if (attempts > 8) return DiagnosticsState::maximumRetryDelaySeconds;
  return std::min(15.0 * static_cast<double>(int64_t{1} << (attempts - 1)), DiagnosticsState::maximumRetryDelaySeconds);
}

void SupportDiagnostics::flush(WallTime now, const DiagnosticsPost& post) const noexcept {
  try {
    auto uploading = LockFile::tryLock(directory_ / DataDirectory::supportUploadLock);
    if (!uploading) return;
    const double seconds = unixSeconds(now);

    std::optional<Batch> batch;
    try {
      transaction(now, [&](DiagnosticsState& state) {
        if (state.retryAt > seconds) return;
        Batch picked{.scope = state.scope, .report = std::nullopt, .events = {}};
        auto pending = std::find_if(state.reports.begin(), state.reports.end(), [](const ProblemReport& report) {
          return report.status == ProblemReport::pending;
        });
        if (pending != state.reports.end()) {
          picked.report = *pending;
        } else if (state.enabled) {
          for (const auto& event : state.events) {
            if (picked.events.size() == eventsPerRequest) break;
            if (!event.delivered) picked.events.push_back(event);
          }
        }
        if (picked.report || !picked.events.empty()) batch = std::move(picked);
      });
    } catch (...) {
      return;
    }
    if (!batch) return;

    bool refusedForGood = false;
    try {
      if (batch->report) {
        Json response = post(reportsPath, batch->report->wire());
        auto number = supportNumber(response, batch->report->id);
        if (!number) throw CVError::invalid(invalidReceiptText);
        transaction(now, [&](DiagnosticsState& state) {
          if (state.scope != batch->scope) return;
          if (ProblemReport* stored = findReport(state, batch->report->id)) {
            stored->status = ProblemReport::submitted;
            stored->reportId = *number;
            stored->description.clear();
            stored->events.clear();
          }
          state.attempts = 0;
          state.retryAt = seconds + pauseAfterUploadSeconds;
        });
      } else {
        Json events = Json::array();
        for (const auto& event : batch->events) events.push_back(event.wire());
        Json response = post(eventsPath, Json{{"events", std::move(events)}});
        auto ids = batch->eventIds();
        if (!acknowledgesEvents(response, ids)) throw CVError::invalid(invalidReceiptText);
        transaction(now, [&](DiagnosticsState& state) {
          if (state.scope != batch->scope) return;
          markDelivered(state, ids);
          state.attempts = 0;
          state.retryAt = seconds + pauseAfterUploadSeconds;
        });
      }
      return;
    } catch (const CVError& error) {
      refusedForGood = error.kind() == CVError::Kind::network && error.status() && isRefusalForGood(*error.status());
    } catch (...) {
      // A failure of the transport or of the acknowledgement: retried later.
    }

    try {
      transaction(now, [&](DiagnosticsState& state) {
        if (state.scope != batch->scope) return;
        if (refusedForGood) {
          if (batch->report) {
            if (ProblemReport* stored = findReport(state, batch->report->id)) stored->status = ProblemReport::failed;
          } else {
            markDelivered(state, batch->eventIds());
          }
        }
        state.attempts = std::min(state.attempts + 1, DiagnosticsState::maximumAttempts);
        state.retryAt = seconds + backOffSeconds(state.attempts);
      });
    } catch (...) {
      // Nothing recorded: the same items go at the next flush.
    }
  } catch (...) {
    // Never fails: whatever went wrong stays in the state for a later try.
  }
}

}  // namespace corvane
