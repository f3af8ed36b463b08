#include "DiagnosticsApi.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
#include <stdexcept>

#include "CoordinatorState.h"
#include "Log.h"
#include "Random.h"

namespace corvane::devcoordinator {

namespace {

// More than the executor ever sends in one request (32 events, or 128 inside
// a report); a bigger batch is refused as too large.
constexpr size_t maximumEvents = 128;

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool isUuid(const std::string& text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// The device whose token the request carries; nothing without a known one.
std::optional<std::string> deviceOf(const ApiRequest& request, StateData& data) {
  auto token = request.bearerToken();
  if (!token) return std::nullopt;
  for (const auto& [id, device] : data.devices)
    if (device.token == *token) return id;
  return std::nullopt;
}

Reply unauthorized() { return Reply::error(401, "unauthorized", "a device token is required"); }

// Every event an object with a non-empty string "id".
bool wellFormedEvents(const Json& events) {
  return events.is_array() && std::all_of(events.begin(), events.end(), [](const Json& event) {
           return event.is_object() && event.contains("id") && event["id"].is_string() &&
                  !event["id"].get<std::string>().empty();
         });
}

const std::set<std::string> eventsReceipts = {"correct", "missing-id", "extra-id", "empty"};
const std::set<std::string> reportsReceipts = {"correct", "foreign-id", "malformed", "empty"};

}  // namespace

DiagnosticsApi::DiagnosticsApi(CoordinatorState& state) : state_(state) {}

void DiagnosticsApi::install(Router& router) {
  router.add("/v1/executor/diagnostics", [this](const ApiRequest& request) { return events(request); });
  router.add("/v1/executor/support-reports", [this](const ApiRequest& request) { return report(request); });
}

void DiagnosticsApi::installControl(Router& control) {
  control.add("/_control/diagnostics", [this](const ApiRequest& request) { return this->control(request); });
}

Reply DiagnosticsApi::events(const ApiRequest& request) {
  return state_.access([&](StateData& data) {
    if (!deviceOf(request, data)) return unauthorized();
    auto list = request.json.find("events");
    if (list == request.json.end() || !wellFormedEvents(*list))
      return Reply::error(400, "invalid_request", "\"events\" must be an array of objects with a string \"id\"");
    if (list->size() > maximumEvents) return Reply::error(413, "too_many_events", "at most 128 events per request");

    Json accepted = Json::array();
    for (const auto& event : *list) {
      accepted.push_back(event["id"]);
      bool known = std::any_of(data.diagnostics.events.begin(), data.diagnostics.events.end(),
                               [&](const Json& stored) { return stored["id"] == event["id"]; });
      if (!known) data.diagnostics.events.push_back(event);
    }
    const std::string& mode = data.diagnostics.eventsReceipt;
    if (mode == "empty") return Reply::json(200, Json::object());
    if (mode == "missing-id" && !accepted.empty()) accepted.erase(accepted.size() - 1);
    if (mode == "extra-id") accepted.push_back(lowercase(randomId()));
    logLine("diagnostics: " + std::to_string(list->size()) + " event(s), receipt " + mode);
    return Reply::json(200, Json{{"acceptedIds", accepted}});
  });
}

Reply DiagnosticsApi::report(const ApiRequest& request) {
  return state_.access([&](StateData& data) {
    auto device = deviceOf(request, data);
    if (!device) return unauthorized();
    const Json& body = request.json;
    if (!body.contains("id") || !body["id"].is_string() || !isUuid(body["id"].get<std::string>()))
      return Reply::error(422, "invalid_report", "\"id\" must be a UUID");
    if (!body.contains("description") || !body["description"].is_string() || !body.contains("metadata") ||
        !body["metadata"].is_object() || !body.contains("events") || !wellFormedEvents(body["events"]))
      return Reply::error(400, "invalid_request", "a report has a description, metadata and events");
    std::string id = body["id"];

    // A report sent again (its receipt got lost) keeps its support number.
    auto stored = std::find_if(data.diagnostics.reports.begin(), data.diagnostics.reports.end(),
                               [&](const Json& report) { return report["id"] == id; });
    std::string number;
    if (stored != data.diagnostics.reports.end()) {
      number = (*stored)["reportId"];
    } else {
      number = "CV-" + lowercase(randomId()) + "-" + id;
      Json kept = body;
      kept["reportId"] = number;
      kept["deviceId"] = *device;
      data.diagnostics.reports.push_back(std::move(kept));
      logLine("support report " + number + " from device " + *device);
    }
    const std::string& mode = data.diagnostics.reportsReceipt;
    if (mode == "empty") return Reply::json(200, Json::object());
    if (mode == "foreign-id") number = number.substr(0, number.size() - id.size()) + lowercase(randomId());
    if (mode == "malformed") number = "CV-" + id;
    return Reply::json(200, Json{{"reportId", number}});
  });
}

Reply DiagnosticsApi::control(const ApiRequest& request) {
  try {
    return state_.access([&](StateData& data) {
      if (request.json.contains("receipts")) {
        const Json& receipts = request.json["receipts"];
        if (!receipts.is_object()) throw std::invalid_argument("\"receipts\" is an object");
        DiagnosticsData next = data.diagnostics;
        for (const auto& [kind, value] : receipts.items()) {
          const auto& allowed = kind == "events"    ? eventsReceipts
                                : kind == "reports" ? reportsReceipts
                                                    : std::set<std::string>{};
          if (allowed.empty()) throw std::invalid_argument("receipts are set for \"events\" or \"reports\"");
          if (!value.is_string() || !allowed.contains(value.get<std::string>()))
            throw std::invalid_argument("unknown receipt for " + kind);
          (kind == "events" ? next.eventsReceipt : next.reportsReceipt) = value.get<std::string>();
        }
        data.diagnostics = std::move(next);
      }
      return Reply::json(
          200, Json{{"events", data.diagnostics.events},
                    {"reports", data.diagnostics.reports},
                    {"receipts",
                     {{"events", data.diagnostics.eventsReceipt}, {"reports", data.diagnostics.reportsReceipt}}}});
    });
  } catch (const std::invalid_argument& error) {
    return Reply::error(400, "invalid_request", error.what());
  }
}

}  // namespace corvane::devcoordinator
