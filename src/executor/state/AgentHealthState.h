#pragma once

#include <optional>
#include <string_view>

namespace corvane {

// The executor's condition as the agent publishes it in its health file.
enum class AgentHealthState {
  online,        // running, and the last coordinator exchange succeeded
  offline,       // running or starting, but the coordinator is not reachable
  stopped,       // asked to stop
  revoked,       // the coordinator revoked this device
  storageError,  // the journal or local storage failed
};

// The wire form: "online", ..., "storage_error".
std::string_view rawValue(AgentHealthState state);
// The state whose wire form is exactly raw (case-sensitive); nothing otherwise.
std::optional<AgentHealthState> agentHealthState(std::string_view raw);

}  // namespace corvane
