#include "executor/state/AgentHealth.h"

#include "executor/support/CVError.h"

namespace corvane {

namespace {

Json timeOrNull(const std::optional<WallTime>& time) { return time ? Json(formatTime(*time)) : Json(nullptr); }

std::optional<WallTime> optionalTime(const Json* value) {
  if (!value || !value->is_string()) return std::nullopt;
  try {
    return parseTime(value);
  } catch (const CVError&) {
    return std::nullopt;
  }
}

bool flag(const Json& value, const char* key) {
  const Json* found = member(value, key);
  return found && found->is_boolean() && found->get<bool>();
}

}  // namespace

Json AgentHealth::json(WallTime updatedAt) const {
  return {
      {"state", rawValue(state)},
      {"lastHeartbeatAt", timeOrNull(lastHeartbeatAt)},
      {"updatedAt", formatTime(updatedAt)},
      {"lastErrorCode", lastErrorCode ? Json(rawValue(*lastErrorCode)) : Json(nullptr)},
      {"deviceRevoked", deviceRevoked},
      {"rePairReady", rePairReady},
      {"updatePreparationID", updatePreparationID ? Json(*updatePreparationID) : Json(nullptr)},
      {"updateReady", updateReady},
  };
}

std::optional<AgentHealth::Published> AgentHealth::fromJSON(const Json& value) {
  const Json* stateValue = member(value, "state");
  if (!stateValue || !stateValue->is_string()) return std::nullopt;
  auto state = agentHealthState(stateValue->get_ref<const std::string&>());
  auto updatedAt = optionalTime(member(value, "updatedAt"));
  if (!state || !updatedAt) return std::nullopt;

  Published published{{}, *updatedAt};
  AgentHealth& health = published.health;
  health.state = *state;
  health.lastHeartbeatAt = optionalTime(member(value, "lastHeartbeatAt"));
  if (const Json* code = member(value, "lastErrorCode"); code && code->is_string())
    health.lastErrorCode = agentHealthError(code->get_ref<const std::string&>());
  health.deviceRevoked = flag(value, "deviceRevoked");
  health.rePairReady = flag(value, "rePairReady");
  if (const Json* id = member(value, "updatePreparationID"); id && id->is_string())
    health.updatePreparationID = id->get<std::string>();
  health.updateReady = flag(value, "updateReady");
  return published;
}

}  // namespace corvane
