#include "executor/agent/QuotaReport.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <initializer_list>
#include <string_view>

#include "executor/quota/ResetEvidence.h"
#include "executor/quota/WindowKey.h"
#include "executor/support/CVError.h"
#include "localization/CodexFailureCode.h"
#include "platform/Log.h"

namespace corvane {

namespace {

constexpr std::array<std::string_view, 17> reportErrorCodes = {
    "request_failed",    "login_failed",       "quota_not_full",          "quota_unavailable",   "lease_expired",
    "device_revoked",    "runtime_timeout",    "coordinator_unavailable", "invalid_response",    "executor_error",
    "not_authenticated", "send_not_permitted", "send_start_unconfirmed",  "send_permit_expired", "executor_restarted",
    "protocol_error",    "journal_unavailable"};

constexpr std::array<std::string_view, 11> receiptReasons = {"already_observed",
                                                             "report_already_received",
                                                             "recovery_replayed",
                                                             "identity_changed",
                                                             "plan_changed",
                                                             "binding_changed",
                                                             "invalid_recovery_report",
                                                             "invalid_recovery_evidence",
                                                             "recovery_expired_or_invalid_timing",
                                                             "recovery_baseline_expired",
                                                             "recovery_baseline_unavailable"};

constexpr std::array<std::string_view, 7> comparisonReasons = {"baseline_missing", "identity_missing_or_changed",
                                                               "plan_changed",     "non_increasing_samples",
                                                               "baseline_expired", "unchanged",
                                                               "recovery_observed"};

constexpr std::array<std::string_view, 5> outcomeKinds = {"extra_recovery", "banked_grant", "natural_reset",
                                                          "possible_banked_redemption", "unknown_recovery"};

template <size_t N>
bool oneOf(const Json* value, const std::array<std::string_view, N>& names) {
  if (!value || !value->is_string()) return false;
  const auto& text = value->get_ref<const std::string&>();
  return std::find(names.begin(), names.end(), text) != names.end();
}

bool isWindowName(const Json* value) {
  return value && value->is_string() && (*value == fiveHourWindow || *value == weeklyWindow);
}

const Json* objectMember(const Json* value, std::string_view key) {
  if (!value) return nullptr;
  const Json* found = member(*value, key);
  return found && found->is_object() ? found : nullptr;
}

bool isTrue(const Json* value) { return value && value->is_boolean() && value->get<bool>(); }

double unixSeconds(WallTime time) { return std::chrono::duration<double>(time.time_since_epoch()).count(); }

std::optional<WallTime> parsedTime(const Json* value) {
  if (!value || !value->is_string()) return std::nullopt;
  try {
    return parseTime(value);
  } catch (const CVError&) {
    return std::nullopt;
  }
}

// Only the keys named, those that are present.
Json restricted(const Json& value, std::initializer_list<const char*> keys) {
  Json kept = Json::object();
  for (const char* key : keys)
    if (const Json* found = member(value, key)) kept[key] = *found;
  return kept;
}

// The numeric "usedPercent", "windowDurationMins" and "resetsAt" of a window.
Json windowNumbers(const Json& window) {
  Json numbers = Json::object();
  for (const char* key : {"usedPercent", "windowDurationMins", "resetsAt"})
    if (auto number = ResetEvidence::number(member(window, key))) numbers[key] = *number;
  return numbers;
}

bool isReportErrorCode(const Json* value) {
  if (!value || !value->is_string()) return false;
  return oneOf(value, reportErrorCodes) || CodexFailureCode::parse(value->get_ref<const std::string&>()).has_value();
}

}  // namespace

Json QuotaReport::diagnostic(const std::optional<Json>& report) {
  Json value = Json::object();
  if (!report || !report->is_object()) return value;
  const Json& body = *report;
  const Json* data = objectMember(&body, "data");
  const Json* evidence = objectMember(data, "resetEvidence");

  value["hasRecoveryReport"] = body.contains("recoveryReport");
  value["hasEvidence"] = evidence != nullptr;
  value["refreshRequired"] = isTrue(member(body, "refreshRequired"));
  if (const Json* allowed = member(body, "sendAllowed"); allowed && allowed->is_boolean())
    value["sendAllowed"] = *allowed;
  if (const Json* task = member(body, "taskId");
      task && task->is_string() && isIdentifier(task->get_ref<const std::string&>()))
    value["taskId"] = *task;
  if (const Json* code = member(body, "errorCode"); isReportErrorCode(code)) value["errorCode"] = *code;
  if (const Json* recovery = objectMember(&body, "recoveryReport"))
    value["recovery"] =
        diagnostic(restricted(*recovery, {"data", "bindingVersion", "readStartedAt", "readCompletedAt"}));
  if (const Json* receipt = objectMember(&body, "recoveryReceipt"))
    if (const Json* reason = member(*receipt, "reason"); oneOf(reason, receiptReasons))
      value["recoveryReason"] = *reason;
  for (const char* key : {"readStartedAt", "readCompletedAt"})
    if (auto time = parsedTime(member(body, key))) value[key] = unixSeconds(*time);
  if (auto version = ResetEvidence::number(member(body, "bindingVersion"))) value["bindingVersion"] = *version;

  Json windows = Json::object();
  if (data) {
    const Json* states = objectMember(data, "windowStates");
    const Json keyed = ResetEvidence::windows(*data);
    for (const auto& [key, window] : keyed.items()) {
      Json entry = windowNumbers(window);
      if (const Json* phase = states ? member(*states, key) : nullptr;
          phase && phase->is_string() && (*phase == "active" || *phase == "waiting" || *phase == "unknown"))
        entry["lifecycle"] = *phase;
      windows[key] = entry;
    }
  }
  value["windows"] = windows;

  const Json* reset = objectMember(data, "_resetDiagnostic");
  if (reset) {
    if (const Json* reason = member(*reset, "reason"); oneOf(reason, comparisonReasons))
      value["comparisonReason"] = *reason;
    for (const char* key : {"beforeBankedComplete", "afterBankedComplete"})
      if (const Json* flag = member(*reset, key); flag && flag->is_boolean()) value[key] = *flag;
    if (auto at = ResetEvidence::number(member(*reset, "beforeAt"))) value["beforeAt"] = *at;
  }
  const Json* beforeSource = objectMember(reset, "before");
  if (!beforeSource) beforeSource = objectMember(evidence, "baseline");
  Json before = Json::object();
  if (beforeSource)
    for (const char* key : {fiveHourWindow, weeklyWindow})
      if (const Json* window = objectMember(beforeSource, key)) before[key] = windowNumbers(*window);
  value["before"] = before;

  if (evidence) {
    if (const Json* id = member(*evidence, "id");
        id && id->is_string() && isIdentifier(id->get_ref<const std::string&>()))
      value["evidenceId"] = *id;
    for (const char* key : {"beforeAt", "observedAt"})
      if (auto number = ResetEvidence::number(member(*evidence, key))) value[key] = *number;
    const Json* stable = member(*evidence, "bankedStable");
    value["bankedStable"] = stable && stable->is_boolean() && stable->get<bool>();
    Json outcomes = Json::array();
    if (const Json* list = member(*evidence, "outcomes"); list && list->is_array())
      for (const auto& outcome : *list) {
        if (outcomes.size() == diagnosticOutcomes) break;
        Json reduced = Json::object();
        if (const Json* kind = member(outcome, "kind"); oneOf(kind, outcomeKinds)) reduced["kind"] = *kind;
        if (const Json* key = member(outcome, "windowKey"); isWindowName(key)) reduced["windowKey"] = *key;
        outcomes.push_back(reduced);
      }
    value["outcomes"] = outcomes;
  }
  return value;
}

bool QuotaReport::needsRefresh(const Json& report, WallTime now) {
  if (isTrue(member(report, "refreshRequired"))) return true;
  auto started = parsedTime(member(report, "readStartedAt"));
  if (!started) return true;
  return unixSeconds(now) - unixSeconds(*started) > freshSeconds;
}

std::optional<Json> QuotaReport::recovery(const Json& report, WallTime now) {
  const Json* source = objectMember(&report, "recoveryReport");
  if (!source) source = &report;
  const Json* data = objectMember(source, "data");
  const Json* evidence = objectMember(data, "resetEvidence");
  if (!evidence) return std::nullopt;
  auto beforeAt = ResetEvidence::number(member(*evidence, "beforeAt"));
  auto observedAt = ResetEvidence::number(member(*evidence, "observedAt"));
  if (!beforeAt || !observedAt) return std::nullopt;
  double seconds = unixSeconds(now);
  if (!(*beforeAt < *observedAt) || !(seconds - *beforeAt < recoverySeconds) ||
      !(*observedAt <= seconds + clockSkewSeconds))
    return std::nullopt;
  const Json* outcomes = member(*evidence, "outcomes");
  if (!outcomes || !outcomes->is_array() ||
      !std::all_of(outcomes->begin(), outcomes->end(), [](const Json& e) { return e.is_object(); }))
    return std::nullopt;
  bool recovered = std::any_of(outcomes->begin(), outcomes->end(), [](const Json& outcome) {
    const Json* kind = member(outcome, "kind");
    return kind && kind->is_string() && (*kind == "extra_recovery" || *kind == "banked_grant");
  });
  if (!recovered) return std::nullopt;
  Json trimmed = restricted(*source, {"accountId", "bindingVersion", "readStartedAt", "readCompletedAt"});
  trimmed["data"] = restricted(*data, {"email", "planType", "rateLimits", "windowStates", "resetEvidence"});
  return trimmed;
}

void diagnoseQuota(Journal& journal, WallTime now, const std::string& accountID, const std::string& reason,
                   const std::optional<Json>& report, std::optional<int> httpStatus) noexcept {
  try {
    Json value = QuotaReport::diagnostic(report);
    if (httpStatus) value["httpStatus"] = *httpStatus;
    std::string text = compactJSON(value);
    journal.execute("INSERT INTO quota_diagnostics(account_id, recorded_at, reason, value) VALUES (?, ?, ?, ?)",
                    {accountID, Journal::timeParameter(now), reason, text});
    journal.pruneQuotaDiagnostics(now);
  } catch (const std::exception&) {
    // Diagnostics serve support only; losing one must never stop a reading.
    static const platform::Logger logger("executor");
    logger.error("Quota diagnostic write failed");
  }
}

}  // namespace corvane
