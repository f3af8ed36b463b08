#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "executor/support/Json.h"
#include "executor/support/Parsing.h"
#include "platform/Clock.h"

struct sqlite3;

namespace corvane {

// The executor's durable memory of work in flight, in one SQLite database
// (agent.sqlite3 in the data directory): claimed tasks with their stage and
// result, the quota report outbox and a bounded log of quota diagnostics.
//
// Every statement commits on its own and is made durable before it returns
// (WAL, synchronous FULL), so whatever a call reported done survives a crash
// of the process or the machine.
//
// Thread safety: one connection in serialized mode plus a recursive lock held
// for the whole of every operation, so the agent's threads may share one
// Journal and each operation is atomic with respect to the others. The lock
// is never held after a call returns or throws.
//
// Failures: every SQLite failure (open, prepare, bind, step, a NULL where text
// is required) is CVError.storage; a stored value that is not the expected
// JSON is CVError.invalid ("Invalid JSON", "Invalid JSON object").
class Journal {
 public:
  // One undelivered result: the task id and the result object, which carries
  // the task's lease as "leaseId".
  using PendingResult = std::pair<std::string, Json>;

  // Opens or creates the database at path, applies the schema (migrating older
  // tables), prunes old quota diagnostics and gives every task left without a
  // result a definite one (restart recovery). Only one Journal may be open on
  // a database at a time, in one process (the agent's executor.lock ensures
  // it); recovery assumes no unfinished task belongs to a live process.
  //
  // The file and SQLite's -wal and -shm files are private (0600). A symbolic
  // link at path, at those side files or anywhere in path is refused with
  // CVError.storage rather than followed.
  //
  // clock gives the wall time of the pruning on open; it must outlive the
  // journal.
  explicit Journal(const std::filesystem::path& path, const platform::Clock& clock = platform::systemClock());
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Runs sql to completion with every parameter bound, in order, as text.
  // Numbers are passed as their decimal text (see timeParameter).
  void execute(std::string_view sql, const std::vector<std::string>& parameters = {});

  // The results not yet acknowledged by the coordinator: removals first, then
  // in the order the tasks were claimed. Empty when nothing is pending.
  std::vector<PendingResult> pending();

  // Whether the task was ever claimed by this journal.
  bool contains(std::string_view taskID);

  // Stores result (a JSON object) for the task. CVError.invalid ("Invalid
  // JSON") when result is not a serializable object; a task that is not in
  // the journal is left alone without error.
  void finish(std::string_view taskID, const Json& result);

  // The stored, not yet accepted quota report of the account, if any.
  std::optional<Json> quotaReport(std::string_view accountID);

  // Stores body as the account's one outbox entry, replacing any earlier one.
  void saveQuotaReport(std::string_view accountID, const Json& body);

  // Drops quota diagnostics recorded seven days or more before now, then all
  // but the 4096 most recent ones.
  void pruneQuotaDiagnostics(WallTime now);

  // A time as the decimal seconds since 1970 that the journal stores in
  // quota_diagnostics.recorded_at and compares against.
  static std::string timeParameter(WallTime time);

 private:
  class Statement;

  void applySchema();
  bool hasColumn(std::string_view table, std::string_view column);

  const platform::Clock& clock_;
  sqlite3* db_ = nullptr;
  std::recursive_mutex lock_;
};

}  // namespace corvane
