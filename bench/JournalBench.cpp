// How much the journal costs on top of SQLite itself, for the cycle every
// task goes through: claim (insert), point of no return (stage change),
// result (finish), report (pending) and acknowledgement (mark delivered).
//
// The floor runs the same statements with the same settings (WAL,
// synchronous FULL, text parameters) straight through the SQLite C API, once
// preparing each statement per call as the journal does and once with the
// statements prepared ahead. With synchronous FULL every write waits for the
// disk, so the floor is what the storage allows; the ratio is what our layer
// adds.
//
//   corvane-journal-bench [--cycles N] [--dir PATH]

#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "executor/state/Journal.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int operationsPerCycle = 5;

constexpr const char* insertTask = "INSERT INTO tasks(id,lease_id,stage,action) VALUES (?,?,?,?)";
constexpr const char* markSending = "UPDATE tasks SET stage='sending' WHERE id=? AND stage='preflight'";
constexpr const char* finishTask = "UPDATE tasks SET result=? WHERE id=?";
constexpr const char* selectPending =
    "SELECT id,lease_id,result FROM tasks WHERE delivered=0 AND result IS NOT NULL ORDER BY CASE action WHEN "
    "'remove' THEN 0 ELSE 1 END, rowid";
constexpr const char* markDelivered = "UPDATE tasks SET delivered=1,result='{}' WHERE id=?";

// One way of running the cycle on its own database.
class Runner {
 public:
  virtual ~Runner() = default;
  virtual void cycle(int i) = 0;
};

class JournalRunner : public Runner {
 public:
  explicit JournalRunner(const fs::path& file) : journal_(file) {}
  void cycle(int i) override {
    std::string id = "task-" + std::to_string(i);
    journal_.execute(insertTask, {id, "lease-" + id, "preflight", "ping"});
    journal_.execute(markSending, {id});
    journal_.finish(id, {{"result", "succeeded"}});
    if (journal_.pending().size() != 1) throw std::runtime_error("journal: unexpected pending results");
    journal_.execute(markDelivered, {id});
  }

 private:
  corvane::Journal journal_;
};

// The bare C loop.
class Bare {
 public:
  explicit Bare(const fs::path& file) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(file.c_str(), &db_, flags, nullptr) != SQLITE_OK) fail("open");
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=FULL");
    exec(
        "CREATE TABLE IF NOT EXISTS tasks(id TEXT PRIMARY KEY, lease_id TEXT NOT NULL, result TEXT, delivered "
        "INTEGER NOT NULL DEFAULT 0, stage TEXT NOT NULL DEFAULT 'sending', action TEXT NOT NULL DEFAULT 'ping')");
  }
  ~Bare() {
    for (auto* statement : cached_) sqlite3_finalize(statement);
    sqlite3_close_v2(db_);
  }

  // Runs sql with text parameters; counts result rows.
  int run(const char* sql, std::initializer_list<const std::string*> parameters, bool cache) {
    sqlite3_stmt* statement = cache ? cachedStatement(sql) : prepare(sql);
    int index = 1;
    for (const std::string* value : parameters)
      if (sqlite3_bind_text(statement, index++, value->data(), static_cast<int>(value->size()), SQLITE_TRANSIENT))
        fail("bind");
    int rows = 0;
    int result;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
      // Read the columns as the journal does, without interpreting them.
      for (int column = 0; column < sqlite3_column_count(statement); ++column)
        if (!sqlite3_column_text(statement, column)) fail("column");
      ++rows;
    }
    if (result != SQLITE_DONE) fail("step");
    if (cache) {
      sqlite3_reset(statement);
      sqlite3_clear_bindings(statement);
    } else {
      sqlite3_finalize(statement);
    }
    return rows;
  }

 private:
  [[noreturn]] void fail(const char* step) {
    throw std::runtime_error(std::string("sqlite3 ") + step + ": " + sqlite3_errmsg(db_));
  }
  void exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail("exec");
  }
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) fail("prepare");
    return statement;
  }
  sqlite3_stmt* cachedStatement(const char* sql) {
    for (size_t i = 0; i < sources_.size(); ++i)
      if (sources_[i] == sql) return cached_[i];
    sources_.push_back(sql);
    cached_.push_back(prepare(sql));
    return cached_.back();
  }

  sqlite3* db_ = nullptr;
  std::vector<const char*> sources_;
  std::vector<sqlite3_stmt*> cached_;
};

class BareRunner : public Runner {
 public:
  BareRunner(const fs::path& file, bool cache) : bare_(file), cache_(cache) {}
  void cycle(int i) override {
    std::string id = "task-" + std::to_string(i);
    std::string lease = "lease-" + id;
    bare_.run(insertTask, {&id, &lease, &preflight_, &ping_}, cache_);
    bare_.run(markSending, {&id}, cache_);
    bare_.run(finishTask, {&result_, &id}, cache_);
    if (bare_.run(selectPending, {}, cache_) != 1) throw std::runtime_error("bare: unexpected pending results");
    bare_.run(markDelivered, {&id}, cache_);
  }

 private:
  Bare bare_;
  bool cache_;
  const std::string preflight_ = "preflight", ping_ = "ping", result_ = R"({"result":"succeeded"})";
};

int positive(const char* text) {
  int value = std::atoi(text);
  if (value < 1) throw std::invalid_argument(std::string("not a positive number: ") + text);
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    int cycles = 500;
    std::string base;
    for (int i = 1; i < argc; ++i) {
      std::string argument = argv[i];
      if (argument == "--cycles" && i + 1 < argc)
        cycles = positive(argv[++i]);
      else if (argument == "--dir" && i + 1 < argc)
        base = argv[++i];
      else
        throw std::invalid_argument("usage: corvane-journal-bench [--cycles N] [--dir PATH]");
    }
    bool temporary = base.empty();
    if (temporary) {
      std::string pattern = (fs::temp_directory_path() / "corvane-bench-XXXXXX").string();
      if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
      base = pattern;
    }
    umask(077);

    const char* names[] = {"Journal", "bare sqlite3, prepare per call", "bare sqlite3, prepared once"};
    std::vector<std::unique_ptr<Runner>> runners;
    for (int v = 0; v < 3; ++v) {
      fs::path directory = fs::path(base) / ("db" + std::to_string(v));
      fs::create_directories(directory);
      fs::path file = fs::canonical(directory) / "agent.sqlite3";
      if (v == 0)
        runners.push_back(std::make_unique<JournalRunner>(file));
      else
        runners.push_back(std::make_unique<BareRunner>(file, v == 2));
    }
    // The variants take turns cycle by cycle, in a rotating order, each on its
    // own database: the disk's speed drifts a lot on a shared machine, and
    // this way the drift falls on all of them alike.
    double seconds[3] = {0, 0, 0};
    for (int i = 0; i < cycles; ++i)
      for (int turn = 0; turn < 3; ++turn) {
        int v = (i + turn) % 3;
        auto start = Clock::now();
        runners[static_cast<size_t>(v)]->cycle(i);
        seconds[v] += std::chrono::duration<double>(Clock::now() - start).count();
      }
    runners.clear();
    if (temporary) fs::remove_all(base);

    std::printf("claim-to-delivered cycle: insert, stage change, finish, pending, mark delivered\n");
    std::printf("%d cycles (%d operations) per variant, interleaved; WAL, synchronous FULL; in %s\n\n", cycles,
                cycles * operationsPerCycle, temporary ? fs::temp_directory_path().c_str() : base.c_str());
    for (int v = 0; v < 3; ++v)
      std::printf("  %-32s %9.0f operations/s  %8.1f cycles/s  %6.3f ms/cycle\n", names[v],
                  cycles * operationsPerCycle / seconds[v], cycles / seconds[v], seconds[v] * 1000 / cycles);
    std::printf("\n  Journal time / bare time (prepare per call): %.3f\n", seconds[0] / seconds[1]);
    std::printf("  Journal time / bare time (prepared once):    %.3f\n", seconds[0] / seconds[2]);
    // For scripts/bench's table: the journal prepares every statement per
    // call, so that is the floor it is held to.
    double ratio = seconds[0] / seconds[1];
    std::printf("row\tjournal cycle (%d cycles)\t%.2f ms a cycle\t%.2f ms bare SQLite\t%.2fx\t<= 1.2x\t%s\n", cycles,
                seconds[0] * 1000 / cycles, seconds[1] * 1000 / cycles, ratio, ratio <= 1.2 ? "pass" : "FAIL");
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "corvane-journal-bench: %s\n", error.what());
    return 1;
  }
}
