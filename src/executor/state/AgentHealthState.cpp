#include "executor/state/AgentHealthState.h"

#include <array>
#include <utility>

namespace corvane {

namespace {
constexpr std::array<std::pair<AgentHealthState, std::string_view>, 5> names = {{
    {AgentHealthState::online, "online"},
    {AgentHealthState::offline, "offline"},
    {AgentHealthState::stopped, "stopped"},
    {AgentHealthState::revoked, "revoked"},
    {AgentHealthState::storageError, "storage_error"},
}};
}  // namespace

std::string_view rawValue(AgentHealthState state) {
  for (const auto& [value, name] : names)
    if (value == state) return name;
  return {};
}

std::optional<AgentHealthState> agentHealthState(std::string_view raw) {
  for (const auto& [value, name] : names)
    if (name == raw) return value;
  return std::nullopt;
}

}  // namespace corvane
