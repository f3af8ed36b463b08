#include "executor/state/AgentHealthError.h"

#include <array>
#include <utility>

namespace corvane {

namespace {
constexpr std::array<std::pair<AgentHealthError, std::string_view>, 4> names = {{
    {AgentHealthError::coordinatorUnavailable, "coordinator_unavailable"},
    {AgentHealthError::deviceRevoked, "device_revoked"},
    {AgentHealthError::journalUnavailable, "journal_unavailable"},
    {AgentHealthError::startupFailed, "startup_failed"},
}};
}  // namespace

std::string_view rawValue(AgentHealthError error) {
  for (const auto& [value, name] : names)
    if (value == error) return name;
  return {};
}

std::optional<AgentHealthError> agentHealthError(std::string_view raw) {
  for (const auto& [value, name] : names)
    if (name == raw) return value;
  return std::nullopt;
}

}  // namespace corvane
