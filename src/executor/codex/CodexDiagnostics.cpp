#include "executor/codex/CodexDiagnostics.h"

#include <climits>
#include <cmath>
#include <mutex>

#include "executor/support/PrivateFiles.h"
#include "platform/Log.h"

namespace corvane {

namespace fs = std::filesystem;

namespace {

std::mutex recordLock;

const platform::Logger& logger() {
  static const platform::Logger codexLog("codex");
  return codexLog;
}

double secondsSince1970(WallTime time) { return std::chrono::duration<double>(time.time_since_epoch()).count(); }

// The members an entry may hold, decoded strictly: a wrongly typed member
// makes the whole history unreadable, as a foreign or damaged file should.
std::optional<int> optionalInteger(const Json& entry, const char* key, bool& valid) {
  const Json* value = member(entry, key);
  if (!value || value->is_null()) return std::nullopt;
  if (value->is_number()) {
    double number = value->get<double>();
    if (std::trunc(number) == number && number >= INT_MIN && number <= INT_MAX) return static_cast<int>(number);
  }
  valid = false;
  return std::nullopt;
}

std::optional<std::vector<CodexDiagnostics::Entry>> decode(const Json& history) {
  const Json* list = member(history, "entries");
  if (!list || !list->is_array()) return std::nullopt;
  std::vector<CodexDiagnostics::Entry> entries;
  for (const auto& item : *list) {
    if (!item.is_object()) return std::nullopt;
    const Json* recordedAt = member(item, "recordedAt");
    const Json* code = member(item, "code");
    if (!recordedAt || !recordedAt->is_number() || !code || !code->is_string()) return std::nullopt;
    bool valid = true;
    CodexDiagnostics::Entry entry{recordedAt->get<double>(), code->get<std::string>(),
                                  optionalInteger(item, "rpcCode", valid), optionalInteger(item, "httpStatus", valid)};
    if (!valid) return std::nullopt;
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool isCurrent(const CodexDiagnostics::Entry& entry, double now) {
  double age = now - entry.recordedAt;
  return std::isfinite(entry.recordedAt) && age >= 0 && age <= CodexDiagnostics::maximumAgeSeconds &&
         CodexFailureCode::parse(entry.code) &&
         (!entry.rpcCode || (*entry.rpcCode >= -32768 && *entry.rpcCode <= 32767)) &&
         (!entry.httpStatus || (*entry.httpStatus >= 400 && *entry.httpStatus <= 599));
}

Json encode(const std::vector<CodexDiagnostics::Entry>& entries) {
  Json list = Json::array();
  for (const auto& entry : entries) list.push_back(entry.json());
  return Json{{"entries", std::move(list)}};
}

}  // namespace

Json CodexDiagnostics::Entry::json() const {
  Json object = {{"recordedAt", recordedAt}, {"code", code}};
  if (rpcCode) object["rpcCode"] = *rpcCode;
  if (httpStatus) object["httpStatus"] = *httpStatus;
  return object;
}

std::vector<CodexDiagnostics::Entry> CodexDiagnostics::entries(WallTime now) const {
  std::error_code error;
  if (fs::is_symlink(fs::symlink_status(directory_, error))) return {};
  // readJSONObjectFile refuses links, non-regular files and files above the bound.
  auto history = readJSONObjectFile(file(), fileLimit);
  if (!history) return {};
  auto decoded = decode(*history);
  if (!decoded) return {};
  double seconds = secondsSince1970(now);
  std::vector<Entry> kept;
  for (auto& entry : *decoded)
    if (isCurrent(entry, seconds)) kept.push_back(std::move(entry));
  if (kept.size() > maximumEntries) kept.erase(kept.begin(), kept.end() - maximumEntries);
  return kept;
}

void CodexDiagnostics::record(const CodexFailure& failure, WallTime now) const {
  std::lock_guard lock(recordLock);
  std::string raw = failure.code.rawValue();
  logger().error("Codex request failed: code=" + raw + " rpc=" + std::to_string(failure.rpcCode.value_or(0)) +
                 " http=" + std::to_string(failure.httpStatus.value_or(0)));
  try {
    auto list = entries(now);
    list.push_back({secondsSince1970(now), raw, failure.rpcCode, failure.httpStatus});
    if (list.size() > maximumEntries) list.erase(list.begin(), list.end() - maximumEntries);
    privateDirectory(directory_);
    atomicPrivateJSON(encode(list), file());
  } catch (const std::exception&) {
    logger().error("Could not persist Codex diagnostics");
  }
}

Json CodexDiagnostics::exportHistory(WallTime now) const {
  Json history = encode(entries(now));
  history["schemaVersion"] = 1;
  history["exportedAt"] = formatTime(now);
  return history;
}

}  // namespace corvane
