#include "executor/agent/ExecutorTask.h"

#include <cmath>

#include "executor/support/CVError.h"
#include "localization/L10n.h"

namespace corvane {

std::string_view rawValue(TaskAction action) {
  switch (action) {
    case TaskAction::remove:
      return "remove";
    case TaskAction::read:
      return "read";
    case TaskAction::ping:
      return "ping";
    case TaskAction::connect:
      return "connect";
  }
  return "read";
}

std::optional<int64_t> positiveWholeNumber(const Json* value) {
  if (!value || !value->is_number() || value->is_boolean()) return std::nullopt;
  if (value->is_number_unsigned()) {
    auto number = value->get<uint64_t>();
    if (number == 0 || number > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<int64_t>(number);
  }
  if (value->is_number_integer()) {
    auto number = value->get<int64_t>();
    if (number <= 0) return std::nullopt;
    return number;
  }
  double number = value->get<double>();
  // 2^63 itself is out of range; every double below it converts exactly.
  if (!std::isfinite(number) || number < 1 || number >= 9223372036854775808.0 || std::trunc(number) != number)
    return std::nullopt;
  return static_cast<int64_t>(number);
}

ExecutorTask::ExecutorTask(const Json& offer) {
  const Json& body = object(offer);
  id = string(member(body, "id"), "id");
  accountID = string(member(body, "accountId"), "accountId");
  credentialID = string(member(body, "credentialId"), "credentialId");
  if (!isIdentifier(id) || !isIdentifier(accountID) || !isIdentifier(credentialID))
    throw CVError::invalid(L10n::text("Invalid task ID"));

  std::string actionText = string(member(body, "action"), "action");
  bool known = false;
  for (TaskAction candidate : {TaskAction::remove, TaskAction::read, TaskAction::ping, TaskAction::connect}) {
    if (actionText == rawValue(candidate)) {
      action = candidate;
      known = true;
    }
  }
  if (!known) throw CVError::invalid(L10n::text("Unsupported task"));

  auto version = positiveWholeNumber(member(body, "bindingVersion"));
  if (!version) throw CVError::invalid(L10n::text("Invalid binding version"));
  bindingVersion = *version;

  expiresAt = parseTime(member(body, "expiresAt"));

  static const Json emptyObject = Json::object();
  const Json* payloadMember = member(body, "payload");
  const Json& payload = payloadMember ? object(payloadMember) : emptyObject;
  const Json* triggers = member(payload, "triggers");
  if (triggers && !triggers->is_array()) throw CVError::invalid(L10n::text("Invalid task payload"));
  automatic = action == TaskAction::ping && triggers && !triggers->empty();
}

}  // namespace corvane
