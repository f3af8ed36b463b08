#pragma once

#include <optional>
#include <string_view>

namespace corvane {

// Why the published health is not online.
enum class AgentHealthError {
  coordinatorUnavailable,  // the coordinator could not be reached or refused
  deviceRevoked,           // goes with the revoked state
  journalUnavailable,      // goes with the storage_error state
  startupFailed,           // failed between taking the executor lock and starting the loop
};

// The wire form: "coordinator_unavailable", ...
std::string_view rawValue(AgentHealthError error);
// The error whose wire form is exactly raw (case-sensitive); nothing otherwise.
std::optional<AgentHealthError> agentHealthError(std::string_view raw);

}  // namespace corvane
