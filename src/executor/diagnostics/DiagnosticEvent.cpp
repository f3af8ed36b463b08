#include "executor/diagnostics/DiagnosticEvent.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "executor/diagnostics/StrictFields.h"
#include "executor/support/Uuid.h"
#include "localization/CodexFailureCode.h"

namespace corvane {

namespace {

bool within(const std::optional<int64_t>& value, int64_t minimum, int64_t maximum) {
  return !value || (*value >= minimum && *value <= maximum);
}

bool isOptionalUUID(const std::optional<std::string>& value) { return !value || isUUID(*value); }

bool isAction(const std::optional<std::string>& action) {
  static constexpr std::array<std::string_view, 4> actions = {"connect", "read", "ping", "remove"};
  return !action || std::find(actions.begin(), actions.end(), *action) != actions.end();
}

}  // namespace

double unixSeconds(WallTime time) { return std::chrono::duration<double>(time.time_since_epoch()).count(); }

bool DiagnosticEvent::isEventCode(std::string_view code) {
  static constexpr std::array<std::string_view, 5> taskCodes = {"task_started", "task_succeeded", "task_failed",
                                                                "task_unknown", "task_skipped"};
  if (std::find(taskCodes.begin(), taskCodes.end(), code) != taskCodes.end()) return true;
  if (CodexFailureCode::parse(code)) return true;
  // A stage's success code is its "failed" code with the category swapped.
  constexpr std::string_view succeeded = "_succeeded";
  if (!code.ends_with(succeeded)) return false;
  std::string failed(code.substr(0, code.size() - succeeded.size()));
  return CodexFailureCode::parse(failed + "_failed").has_value();
}

bool DiagnosticEvent::valid(WallTime now) const {
  double age = unixSeconds(now) - recordedAt;
  return isUUID(id) && std::isfinite(recordedAt) && age >= -maximumFutureSeconds && age <= maximumAgeSeconds &&
         isEventCode(code) && metadata.valid() && isOptionalUUID(taskId) && isOptionalUUID(accountId) &&
         isAction(action) && within(durationMs, 0, 86'400'000) && within(rpcCode, -32768, 32767) &&
         within(httpStatus, 400, 599);
}

Json DiagnosticEvent::wire() const {
  Json object{{"id", id}, {"recordedAt", recordedAt}, {"code", code}, {"metadata", metadata.json()}};
  if (taskId) object["taskId"] = *taskId;
  if (accountId) object["accountId"] = *accountId;
  if (action) object["action"] = *action;
  if (durationMs) object["durationMs"] = *durationMs;
  if (rpcCode) object["rpcCode"] = *rpcCode;
  if (httpStatus) object["httpStatus"] = *httpStatus;
  return object;
}

Json DiagnosticEvent::json() const {
  Json object = wire();
  object["delivered"] = delivered;
  return object;
}

std::optional<DiagnosticEvent> DiagnosticEvent::decode(const Json& value) {
  if (!value.is_object()) return std::nullopt;
  using namespace diagnostics;
  DiagnosticEvent event;
  const Json* metadata = member(value, "metadata");
  auto decodedMetadata = metadata ? DiagnosticMetadata::decode(*metadata) : std::nullopt;
  if (!decodedMetadata || !readString(value, "id", event.id) || !readNumber(value, "recordedAt", event.recordedAt) ||
      !readString(value, "code", event.code) || !readBoolean(value, "delivered", event.delivered) ||
      !readOptionalString(value, "taskId", event.taskId) || !readOptionalString(value, "accountId", event.accountId) ||
      !readOptionalString(value, "action", event.action) ||
      !readOptionalInteger(value, "durationMs", event.durationMs) ||
      !readOptionalInteger(value, "rpcCode", event.rpcCode) ||
      !readOptionalInteger(value, "httpStatus", event.httpStatus))
    return std::nullopt;
  event.metadata = std::move(*decodedMetadata);
  return event;
}

}  // namespace corvane
