#include "executor/diagnostics/DiagnosticsState.h"

#include <algorithm>
#include <cmath>

#include "executor/diagnostics/StrictFields.h"

namespace corvane {

namespace {

template <typename Item>
void keepNewest(std::vector<Item>& items, size_t count) {
  if (items.size() > count) items.erase(items.begin(), items.end() - static_cast<std::ptrdiff_t>(count));
}

template <typename Item>
void dropInvalid(std::vector<Item>& items, WallTime now) {
  std::erase_if(items, [&](const Item& item) { return !item.valid(now); });
}

template <typename Item>
std::optional<std::vector<Item>> decodeList(const Json& object, const char* key) {
  const Json* list = member(object, key);
  if (!list || !list->is_array()) return std::nullopt;
  std::vector<Item> items;
  for (const auto& value : *list) {
    auto item = Item::decode(value);
    if (!item) return std::nullopt;
    items.push_back(std::move(*item));
  }
  return items;
}

}  // namespace

DiagnosticsState DiagnosticsState::fresh(std::string scope) {
  DiagnosticsState state;
  state.scope = std::move(scope);
  return state;
}

void DiagnosticsState::trimEvents() { keepNewest(events, maximumEvents); }

void DiagnosticsState::sanitize(WallTime now) {
  dropInvalid(events, now);
  trimEvents();
  dropInvalid(reports, now);
  keepNewest(reports, maximumReports);
  for (auto& report : reports) dropInvalid(report.events, now);
  attempts = std::clamp<int64_t>(attempts, 0, maximumAttempts);
  if (!std::isfinite(retryAt) || retryAt > unixSeconds(now) + maximumRetryDelaySeconds) retryAt = 0;
}

Json DiagnosticsState::json() const {
  Json eventList = Json::array();
  for (const auto& event : events) eventList.push_back(event.json());
  Json reportList = Json::array();
  for (const auto& report : reports) reportList.push_back(report.json());
  return Json{{"scope", scope},
              {"enabled", enabled},
              {"events", std::move(eventList)},
              {"reports", std::move(reportList)},
              {"attempts", attempts},
              {"retryAt", retryAt}};
}

std::optional<DiagnosticsState> DiagnosticsState::decode(const Json& value) {
  if (!value.is_object()) return std::nullopt;
  using namespace diagnostics;
  DiagnosticsState state;
  auto events = decodeList<DiagnosticEvent>(value, "events");
  auto reports = decodeList<ProblemReport>(value, "reports");
  if (!events || !reports || !readString(value, "scope", state.scope) ||
      !readBoolean(value, "enabled", state.enabled) || !readInteger(value, "attempts", state.attempts) ||
      !readNumber(value, "retryAt", state.retryAt))
    return std::nullopt;
  state.events = std::move(*events);
  state.reports = std::move(*reports);
  return state;
}

}  // namespace corvane
