#include "executor/codex/PingOutcome.h"

#include <algorithm>
#include <string>

namespace corvane {

namespace {

bool isBlank(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); });
}

}  // namespace

std::optional<std::string_view> PingOutcome::observe(const Json& event) {
  const Json* type = member(event, "type");
  if (!type || !type->is_string()) return std::nullopt;
  const std::string& kind = type->get_ref<const std::string&>();
  if (kind == "item.started" || kind == "item.updated" || kind == "item.completed") {
    const Json* item = member(event, "item");
    if (!item || !item->is_object()) return std::nullopt;
    const Json* itemType = member(*item, "type");
    bool isMessage = itemType && itemType->is_string() && *itemType == "agent_message";
    bool isReasoning = itemType && itemType->is_string() && *itemType == "reasoning";
    // The runtime opens every run with an "error" item that only warns
    // (about model metadata, say); it is not something the runtime did.
    bool isWarning = itemType && itemType->is_string() && *itemType == "error";
    if (isWarning) return std::nullopt;
    if (!isMessage && !isReasoning) return "unknown";
    if (kind == "item.completed" && isMessage) {
      const Json* text = member(*item, "text");
      if (text && text->is_string() && !isBlank(text->get<std::string>())) sawText_ = true;
    }
  } else if (kind == "turn.completed") {
    return sawText_ ? "succeeded" : "unknown";
  } else if (kind == "turn.failed") {
    return "failed";
  }
  return std::nullopt;
}

}  // namespace corvane
