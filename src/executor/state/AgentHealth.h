#pragma once

#include <optional>
#include <string>

#include "executor/state/AgentHealthError.h"
#include "executor/state/AgentHealthState.h"
#include "executor/support/Json.h"
#include "executor/support/Parsing.h"

namespace corvane {

// The health record the agent publishes and app-status reports. Which values
// go together is the agent's business; this only carries them.
struct AgentHealth {
  AgentHealthState state = AgentHealthState::offline;
  std::optional<WallTime> lastHeartbeatAt;  // when the coordinator last accepted a heartbeat
  std::optional<AgentHealthError> lastErrorCode;
  bool deviceRevoked = false;
  bool rePairReady = false;                        // revoked, cleaned up and idle: the directory may be paired again
  std::optional<std::string> updatePreparationID;  // the update-drain request the agent has seen
  bool updateReady = false;                        // that request is present and the agent is idle

  // A record read back, with the time it was written.
  struct Published;

  // The file form: always all eight keys, absent values as JSON null, times
  // in UTC whole seconds.
  Json json(WallTime updatedAt) const;

  // Rebuilds a record from untrusted JSON: nothing unless state is exactly a
  // known raw value and updatedAt a valid time. Other members that are
  // missing or malformed take their empty value (null or false), so the
  // record re-serializes in the normalized eight-key form.
  static std::optional<Published> fromJSON(const Json& value);

  bool operator==(const AgentHealth&) const = default;
};

struct AgentHealth::Published {
  AgentHealth health;
  WallTime updatedAt;
};

}  // namespace corvane
