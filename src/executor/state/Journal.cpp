#include "executor/state/Journal.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>

#include "executor/support/CVError.h"
#include "localization/L10n.h"
#include "platform/Log.h"

namespace corvane {

namespace fs = std::filesystem;

namespace {

const platform::Logger& log() {
  static const platform::Logger logger("executor");
  return logger;
}

// The text of a storage failure goes to the log only: the user sees the
// generic storage text, but support needs SQLite's own reason.
[[noreturn]] void storageFailure(sqlite3* db, std::string_view step) {
  std::string message = "journal: " + std::string(step) + " failed";
  if (db) message += std::string(": ") + sqlite3_errmsg(db);
  log().error(message);
  throw CVError::storage();
}

constexpr double diagnosticRetentionSeconds = 604800;  // seven days

constexpr const char* manualPingRestarted = R"({"result":"failed","errorCode":"executor_restarted"})";
constexpr const char* preflightRestarted = R"({"result":"skipped","errorCode":"quota_unavailable"})";
constexpr const char* sendingRestarted = R"({"result":"unknown","errorCode":"executor_restarted"})";

[[noreturn]] void notPrivate(const fs::path& file) {
  log().error("journal: " + file.filename().string() + " is not a private regular file");
  throw CVError::storage();
}

// Makes file private before SQLite opens it. An absent database is created
// here with mode 0600 so it is never readable by others, whatever the
// process's umask; SQLite gives its -wal and -shm files the database's mode.
// A descriptor is opened on an existing file only to narrow a wider mode,
// and never while SQLite has the file open: closing any descriptor of a file
// drops every POSIX lock the process holds on it, SQLite's included.
void makePrivate(const fs::path& file, bool create) {
  struct stat info {};
  if (lstat(file.c_str(), &info) != 0) {
    if (errno != ENOENT) notPrivate(file);
    if (!create) return;
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) notPrivate(file);
    close(fd);
    return;
  }
  if (!S_ISREG(info.st_mode)) notPrivate(file);
  if ((info.st_mode & 0777) == 0600) return;
  int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) notPrivate(file);
  bool narrowed = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && fchmod(fd, 0600) == 0;
  close(fd);
  if (!narrowed) notPrivate(file);
}

fs::path sibling(const fs::path& file, std::string_view suffix) {
  fs::path result = file;
  result += std::string(suffix);
  return result;
}

}  // namespace

// One prepared statement with its parameters bound, finalized on every path.
// It takes exactly one statement and exactly its parameters: SQLite would
// quietly run only the first of several and bind missing parameters as NULL.
class Journal::Statement {
 public:
  Statement(sqlite3* db, std::string_view sql, const std::vector<std::string>& parameters) : db_(db) {
    if (!db_) throw CVError::storage();
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &statement_, &tail) != SQLITE_OK ||
        !statement_)
      fail("prepare");
    std::string_view rest(tail, static_cast<size_t>(sql.data() + sql.size() - tail));
    if (rest.find_first_not_of(" \t\r\n;") != std::string_view::npos) refuse("more than one statement in one call");
    int expected = sqlite3_bind_parameter_count(statement_);
    if (expected != static_cast<int>(parameters.size()))
      refuse(std::to_string(parameters.size()) + " values for " + std::to_string(expected) + " parameters");
    for (size_t i = 0; i < parameters.size(); ++i) {
      const std::string& value = parameters[i];
      if (sqlite3_bind_text(statement_, static_cast<int>(i + 1), value.data(), static_cast<int>(value.size()),
                            SQLITE_TRANSIENT) != SQLITE_OK)
        fail("bind");
    }
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // True for a row, false when the statement is done.
  bool step() {
    int result = sqlite3_step(statement_);
    if (result == SQLITE_ROW) return true;
    if (result == SQLITE_DONE) return false;
    storageFailure(db_, "step");
  }

  void run() {
    while (step()) {
    }
  }

  // Column index as text; CVError.storage when it is NULL or not text.
  std::string text(int index) {
    if (sqlite3_column_type(statement_, index) != SQLITE_TEXT) {
      log().error("journal: a stored value is not text");
      throw CVError::storage();
    }
    const unsigned char* bytes = sqlite3_column_text(statement_, index);
    int size = sqlite3_column_bytes(statement_, index);
    if (!bytes) storageFailure(db_, "read");
    return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(size));
  }

 private:
  // The constructor's failures: its destructor will not run, so the
  // statement is finalized here before the error leaves.
  [[noreturn]] void fail(std::string_view step) { refuse(std::string(step) + " failed: " + sqlite3_errmsg(db_)); }
  [[noreturn]] void refuse(const std::string& reason) {
    log().error("journal: " + reason);
    sqlite3_finalize(statement_);
    statement_ = nullptr;
    throw CVError::storage();
  }

  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

namespace {

// A stored JSON object: invalid JSON or another JSON value is an error, not
// an absence, since only the journal itself writes these columns.
Json storedObject(const std::string& text) {
  auto value = parseJSON(text);
  if (!value) throw CVError::invalid(L10n::text("Invalid JSON"));
  return object(*value);
}

std::string serializedObject(const Json& value) {
  if (!value.is_object()) throw CVError::invalid(L10n::text("Invalid JSON"));
  return compactJSON(value);
}

// The directory must be reached without any symbolic link: SQLite refuses
// linked components too, but only after the checks below would already have
// created the file through them.
void requireUnlinkedDirectory(const fs::path& file) {
  fs::path directory = fs::absolute(file).lexically_normal().parent_path();
  std::error_code error;
  if (fs::canonical(directory, error) != directory || error) {
    log().error("journal: the database directory is not a canonical path");
    throw CVError::storage();
  }
}

}  // namespace

Journal::Journal(const fs::path& path, const platform::Clock& clock) : clock_(clock) {
  std::error_code error;
  if (fs::is_symlink(fs::symlink_status(path, error))) throw CVError::storage();
  requireUnlinkedDirectory(path);
  makePrivate(path, true);
  makePrivate(sibling(path, "-wal"), false);
  makePrivate(sibling(path, "-shm"), false);

  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close_v2(db_);
    db_ = nullptr;
    log().error("journal: open failed: " + reason);
    throw CVError::storage();
  }
  sqlite3_extended_result_codes(db_, 1);
  try {
    applySchema();
  } catch (...) {
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw;
  }
}

Journal::~Journal() {
  std::lock_guard guard(lock_);
  sqlite3_close_v2(db_);
}

void Journal::applySchema() {
  std::lock_guard guard(lock_);
  {
    Statement mode(db_, "PRAGMA journal_mode=WAL", {});
    // A file system without shared memory keeps the rollback journal, which
    // is just as durable with synchronous FULL; worth a note, not a refusal.
    if (mode.step() && mode.text(0) != "wal") log().notice("journal: WAL is not available here");
  }
  execute("PRAGMA synchronous=FULL");
  execute(
      "CREATE TABLE IF NOT EXISTS tasks(id TEXT PRIMARY KEY, lease_id TEXT NOT NULL, result TEXT, delivered INTEGER "
      "NOT NULL DEFAULT 0, stage TEXT NOT NULL DEFAULT 'sending', action TEXT NOT NULL DEFAULT 'ping')");
  // Tables from before a task's stage and action were kept: their rows were
  // all pings past the point of no return.
  if (!hasColumn("tasks", "stage")) execute("ALTER TABLE tasks ADD COLUMN stage TEXT NOT NULL DEFAULT 'sending'");
  if (!hasColumn("tasks", "action")) execute("ALTER TABLE tasks ADD COLUMN action TEXT NOT NULL DEFAULT 'ping'");
  execute("CREATE TABLE IF NOT EXISTS quota_outbox(account_id TEXT PRIMARY KEY, body TEXT NOT NULL)");
  execute(
      "CREATE TABLE IF NOT EXISTS quota_diagnostics(id INTEGER PRIMARY KEY, account_id TEXT NOT NULL, recorded_at "
      "REAL NOT NULL, reason TEXT NOT NULL, value TEXT NOT NULL)");
  execute("CREATE INDEX IF NOT EXISTS quota_diagnostics_time ON quota_diagnostics(recorded_at)");
  pruneQuotaDiagnostics(clock_.wallTime());
  execute("CREATE TABLE IF NOT EXISTS health(id INTEGER PRIMARY KEY CHECK(id=1), nonce INTEGER NOT NULL)");
  execute("INSERT OR IGNORE INTO health(id,nonce) VALUES (1,0)");
  // The file was made private before opening (see makePrivate).

  // Restart recovery. Nothing without a result belongs to a live process
  // now, so each such task gets its definite result; the order matters,
  // since each statement takes what the ones before it left.
  execute("UPDATE tasks SET result=? WHERE result IS NULL AND stage='preflight' AND action='manual_ping'",
          {manualPingRestarted});
  execute("UPDATE tasks SET result=? WHERE result IS NULL AND stage='preflight'", {preflightRestarted});
  execute("UPDATE tasks SET result=? WHERE result IS NULL", {sendingRestarted});
}

bool Journal::hasColumn(std::string_view table, std::string_view column) {
  std::lock_guard guard(lock_);
  Statement statement(db_, "PRAGMA table_info(" + std::string(table) + ")", {});
  while (statement.step())
    if (statement.text(1) == column) return true;
  return false;
}

void Journal::execute(std::string_view sql, const std::vector<std::string>& parameters) {
  std::lock_guard guard(lock_);
  Statement(db_, sql, parameters).run();
}

std::vector<Journal::PendingResult> Journal::pending() {
  std::lock_guard guard(lock_);
  Statement statement(db_,
                      "SELECT id,lease_id,result FROM tasks WHERE delivered=0 AND result IS NOT NULL ORDER BY CASE "
                      "action WHEN 'remove' THEN 0 ELSE 1 END, rowid",
                      {});
  std::vector<PendingResult> results;
  while (statement.step()) {
    std::string id = statement.text(0);
    std::string lease = statement.text(1);
    Json result = storedObject(statement.text(2));
    result["leaseId"] = std::move(lease);
    results.emplace_back(std::move(id), std::move(result));
  }
  return results;
}

bool Journal::contains(std::string_view taskID) {
  std::lock_guard guard(lock_);
  return Statement(db_, "SELECT 1 FROM tasks WHERE id=?", {std::string(taskID)}).step();
}

void Journal::finish(std::string_view taskID, const Json& result) {
  std::lock_guard guard(lock_);
  execute("UPDATE tasks SET result=? WHERE id=?", {serializedObject(result), std::string(taskID)});
}

std::optional<Json> Journal::quotaReport(std::string_view accountID) {
  std::lock_guard guard(lock_);
  Statement statement(db_, "SELECT body FROM quota_outbox WHERE account_id=?", {std::string(accountID)});
  if (!statement.step()) return std::nullopt;
  return storedObject(statement.text(0));
}

void Journal::saveQuotaReport(std::string_view accountID, const Json& body) {
  std::lock_guard guard(lock_);
  execute("INSERT OR REPLACE INTO quota_outbox VALUES (?,?)", {std::string(accountID), serializedObject(body)});
}

void Journal::pruneQuotaDiagnostics(WallTime now) {
  std::lock_guard guard(lock_);
  auto bound =
      now - std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(diagnosticRetentionSeconds));
  execute("DELETE FROM quota_diagnostics WHERE recorded_at <= ?", {timeParameter(bound)});
  // Keeps the 4096 newest rows.
  execute(
      "DELETE FROM quota_diagnostics WHERE id IN (SELECT id FROM quota_diagnostics ORDER BY id DESC LIMIT -1 OFFSET "
      "4096)");
}

std::string Journal::timeParameter(WallTime time) {
  // Whole seconds and the fraction apart: one division of the nanosecond
  // count would round 0.25 s after a present-day second to 0.2499998.
  auto since = time.time_since_epoch();
  auto whole = std::chrono::floor<std::chrono::seconds>(since);
  double seconds = static_cast<double>(whole.count()) + std::chrono::duration<double>(since - whole).count();
  char buffer[64];
  // Shortest text that reads back as the same double, never in exponent form.
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed);
  if (error != std::errc()) throw CVError::storage();
  return std::string(buffer, end);
}

}  // namespace corvane
