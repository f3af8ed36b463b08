#include "ControlApi.h"

#include <algorithm>
#include <stdexcept>

#include "CoordinatorState.h"
#include "FaultPlan.h"
#include "Fields.h"
#include "Log.h"
#include "Random.h"
#include "RequestLog.h"

namespace corvane::devcoordinator {

namespace {

const char* stageName(MacPairing::Stage stage) {
  switch (stage) {
    case MacPairing::Stage::pending:
      return "pending";
    case MacPairing::Stage::approved:
      return "approved";
    case MacPairing::Stage::consumed:
      return "consumed";
  }
  return "pending";
}

Json deviceJson(const Device& device) {
  return Json{{"deviceId", device.deviceId},
              {"token", device.token},
              {"name", device.name},
              {"email", device.email ? Json(*device.email) : Json()}};
}

// The device a test asks for: each of "deviceId", "token" and "email" may be
// given (any string, so tests can hand out malformed credentials; "email": null
// leaves it out of the answer), the rest is made up.
Device requestedDevice(const Json& body, const std::string& defaultEmail) {
  auto text = [&](const char* key) -> std::optional<std::string> {
    if (!body.contains(key)) return std::nullopt;
    if (!body[key].is_string()) throw std::invalid_argument(std::string("\"") + key + "\" is a string");
    return body[key].get<std::string>();
  };
  Device device;
  device.deviceId = text("deviceId").value_or(randomId());
  device.token = text("token").value_or(randomToken());
  if (body.contains("email") && body["email"].is_null())
    device.email = std::nullopt;
  else
    device.email = text("email").value_or(defaultEmail);
  return device;
}

Reply badRequest(const std::exception& error) { return Reply::error(400, "invalid_request", error.what()); }

}  // namespace

ControlApi::ControlApi(CoordinatorState& state, RequestLog& log, FaultPlan& faults, Hooks hooks)
    : state_(state), log_(log), faults_(faults), hooks_(std::move(hooks)) {}

void ControlApi::install(Router& router) {
  auto bind = [this](Reply (ControlApi::*method)(const ApiRequest&)) {
    return [this, method](const ApiRequest& request) { return (this->*method)(request); };
  };
  router.add("/_control/status", [this](const ApiRequest&) { return Reply::json(200, hooks_.status()); });
  router.add("/_control/pairing-codes", bind(&ControlApi::createPairingCode));
  router.add("/_control/mac-pairings", bind(&ControlApi::listMacPairings));
  router.add("/_control/mac-pairings/approve", bind(&ControlApi::approveMacPairing));
  router.add("/_control/email-codes", bind(&ControlApi::emailCodes));
  router.add("/_control/sessions", bind(&ControlApi::createSession));
  router.add("/_control/devices", bind(&ControlApi::devices));
  router.add("/_control/requests", bind(&ControlApi::requests));
  router.add("/_control/faults", bind(&ControlApi::addFault));
  // Ends every scripted fault at once and keeps all other state, so that an
  // outage can be lifted without forgetting the tasks it held up.
  router.add("/_control/faults/clear", [this](const ApiRequest&) {
    faults_.clear();
    return Reply::json(200, Json{{"faults", faults_.toJson()}});
  });
  router.add("/_control/expire", bind(&ControlApi::expire));
  router.add("/_control/settings", bind(&ControlApi::settings));
  router.add("/_control/reset", bind(&ControlApi::reset));
}

Reply ControlApi::createPairingCode(const ApiRequest& request) {
  try {
    return state_.access([&](StateData& data) {
      PairingCode code;
      code.code = randomPairingCode();
      code.device = requestedDevice(request.json, data.settings.defaultEmail);
      auto lifetime = data.settings.pairingCodeLifetime;
      if (request.json.contains("lifetimeSeconds")) {
        const Json& value = request.json["lifetimeSeconds"];
        if (!value.is_number_integer()) throw std::invalid_argument("\"lifetimeSeconds\" is a whole number");
        lifetime = std::chrono::seconds(value.get<long long>());
      }
      code.expiresAt = Clock::now() + lifetime;
      data.pairingCodes.push_back(code);
      logLine("pairing code " + code.code + " for device " + code.device.deviceId);
      Json answer = deviceJson(code.device);
      answer.erase("name");
      answer["code"] = code.code;
      answer["expiresAt"] = formatTime(code.expiresAt);
      return Reply::json(200, answer);
    });
  } catch (const std::invalid_argument& error) {
    return badRequest(error);
  }
}

Reply ControlApi::listMacPairings(const ApiRequest&) {
  return state_.access([&](StateData& data) {
    Json list = Json::array();
    for (const auto& pairing : data.macPairings) {
      Json entry{{"id", pairing.id},
                 {"code", pairing.code},
                 {"pollToken", pairing.pollToken},
                 {"name", pairing.name},
                 {"status", stageName(pairing.stage)},
                 {"expiresAt", formatTime(pairing.expiresAt)},
                 {"expired", Clock::now() >= pairing.expiresAt}};
      if (pairing.stage != MacPairing::Stage::pending) entry["device"] = deviceJson(pairing.device);
      list.push_back(entry);
    }
    return Reply::json(200, Json{{"pairings", list}});
  });
}

Reply ControlApi::approveMacPairing(const ApiRequest& request) {
  try {
    return state_.access([&](StateData& data) {
      auto id = requiredString(request.json, "id");
      // Without an id: the newest pairing still waiting, as a phone would see it.
      auto it = std::find_if(data.macPairings.rbegin(), data.macPairings.rend(), [&](const MacPairing& entry) {
        return id ? entry.id == *id : entry.stage == MacPairing::Stage::pending;
      });
      if (it == data.macPairings.rend()) return Reply::error(404, "not_found", "no such pending pairing");
      if (it->stage != MacPairing::Stage::pending)
        return Reply::error(409, "already_paired", "this pairing has already been approved");
      it->device = requestedDevice(request.json, data.settings.defaultEmail);
      it->device.name = it->name;
      it->stage = MacPairing::Stage::approved;
      logLine("pairing " + it->id + " approved through the control port");
      Json answer = deviceJson(it->device);
      answer["id"] = it->id;
      return Reply::json(200, answer);
    });
  } catch (const std::invalid_argument& error) {
    return badRequest(error);
  }
}

Reply ControlApi::emailCodes(const ApiRequest& request) {
  auto email = requiredString(request.json, "email");
  return state_.access([&](StateData& data) {
    Json list = Json::array();
    for (const auto& challenge : data.emailChallenges) {
      if (email && challenge.email != *email) continue;
      list.push_back(Json{{"challengeId", challenge.id},
                          {"email", challenge.email},
                          {"code", challenge.code},
                          {"language", challenge.language},
                          {"expiresAt", formatTime(challenge.expiresAt)},
                          {"attemptsLeft", challenge.attemptsLeft},
                          {"used", challenge.used}});
    }
    return Reply::json(200, Json{{"codes", list}});
  });
}

Reply ControlApi::createSession(const ApiRequest& request) {
  return state_.access([&](StateData& data) {
    Session session{randomToken(), requiredString(request.json, "email").value_or(data.settings.defaultEmail)};
    data.sessions[session.token] = session;
    return Reply::json(200, Json{{"token", session.token}, {"email", session.email}});
  });
}

Reply ControlApi::devices(const ApiRequest&) {
  return state_.access([&](StateData& data) {
    Json list = Json::array();
    for (const auto& [id, device] : data.devices) list.push_back(deviceJson(device));
    return Reply::json(200, Json{{"devices", list}});
  });
}

Reply ControlApi::requests(const ApiRequest& request) {
  return Reply::json(200, Json{{"requests", log_.toJson(requiredString(request.json, "path").value_or(""))}});
}

Reply ControlApi::addFault(const ApiRequest& request) {
  if (!request.json.empty()) {
    try {
      faults_.add(Fault::fromJson(request.json));
    } catch (const std::invalid_argument& error) {
      return badRequest(error);
    }
  }
  return Reply::json(200, Json{{"faults", faults_.toJson()}});
}

Reply ControlApi::expire(const ApiRequest& request) {
  std::string what = requiredString(request.json, "what").value_or("all");
  if (what != "all" && what != "pairing-codes" && what != "mac-pairings" && what != "email-challenges")
    return Reply::error(400, "invalid_request",
                        "\"what\" is one of all, pairing-codes, mac-pairings, email-challenges");
  return state_.access([&](StateData& data) {
    Time past = Clock::now() - std::chrono::seconds(1);
    int count = 0;
    if (what == "all" || what == "pairing-codes")
      for (auto& code : data.pairingCodes) code.expiresAt = past, ++count;
    if (what == "all" || what == "mac-pairings")
      for (auto& pairing : data.macPairings) pairing.expiresAt = past, ++count;
    if (what == "all" || what == "email-challenges")
      for (auto& challenge : data.emailChallenges) challenge.expiresAt = past, ++count;
    return Reply::json(200, Json{{"expired", count}});
  });
}

Reply ControlApi::settings(const ApiRequest& request) {
  try {
    return state_.access([&](StateData& data) {
      data.settings.update(request.json);
      return Reply::json(200, data.settings.toJson());
    });
  } catch (const std::invalid_argument& error) {
    return badRequest(error);
  }
}

Reply ControlApi::reset(const ApiRequest&) {
  state_.reset();
  faults_.clear();
  log_.clear();
  hooks_.releaseHeld();
  logLine("reset");
  return Reply::json(200, Json::object());
}

}  // namespace corvane::devcoordinator
