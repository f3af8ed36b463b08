#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "executor/support/Json.h"

namespace corvane::test {

struct QuotaDiagnosticRow {
  std::string accountID;
  std::string recordedAt;
  std::string reason;
  Json value;
};

// The quota diagnostics in the journal at path, oldest first, read through a
// connection of the test's own.
inline std::vector<QuotaDiagnosticRow> quotaDiagnosticRows(const std::filesystem::path& path) {
  std::vector<QuotaDiagnosticRow> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT account_id, recorded_at, reason, value FROM quota_diagnostics ORDER BY id", -1,
                         &statement, nullptr) == SQLITE_OK) {
    auto text = [&](int column) {
      return std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)));
    };
    while (sqlite3_step(statement) == SQLITE_ROW) rows.push_back({text(0), text(1), text(2), Json::parse(text(3))});
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

}  // namespace corvane::test
