#include "PairingApi.h"

#include <algorithm>
#include <cctype>

#include "CoordinatorState.h"
#include "Fields.h"
#include "Log.h"
#include "Random.h"

namespace corvane::devcoordinator {

namespace {

// What a person may type for "K7Q2-M9XD": any case, with or without the dash or spaces.
std::string normalizedCode(const std::string& code) {
  std::string result;
  for (unsigned char c : code) {
    if (c == '-' || std::isspace(c)) continue;
    result += static_cast<char>(std::toupper(c));
  }
  return result;
}

Json deviceAnswer(const Device& device) {
  Json answer{{"token", device.token}, {"deviceId", device.deviceId}};
  if (device.email) answer["email"] = *device.email;
  return answer;
}

std::string nameOf(const Json& body) {
  auto it = body.find("name");
  return it != body.end() && it->is_string() ? it->get<std::string>() : "";
}

bool badName(const Json& body) { return body.contains("name") && !body["name"].is_string(); }

}  // namespace

PairingApi::PairingApi(CoordinatorState& state) : state_(state) {}

void PairingApi::install(Router& router) {
  router.add("/v1/executor/pair", [this](const ApiRequest& request) { return pair(request); });
  router.add("/v1/mac-pairings/start", [this](const ApiRequest& request) { return start(request); });
  router.add("/v1/mac-pairings/poll", [this](const ApiRequest& request) { return poll(request); });
  router.add("/v1/mac-pairings/confirm", [this](const ApiRequest& request) { return confirm(request); });
}

Reply PairingApi::pair(const ApiRequest& request) {
  auto code = requiredString(request.json, "code");
  if (!code) return missing("code");
  if (badName(request.json)) return missing("name");
  return state_.access([&](StateData& data) {
    auto it = std::find_if(data.pairingCodes.begin(), data.pairingCodes.end(), [&](const PairingCode& entry) {
      return normalizedCode(entry.code) == normalizedCode(*code);
    });
    if (it == data.pairingCodes.end()) return Reply::error(400, "invalid_code", "unknown pairing code");
    if (it->used) return Reply::error(409, "already_paired", "this pairing code has already been used");
    if (Clock::now() >= it->expiresAt) return Reply::error(400, "code_expired", "the pairing code has expired");
    it->used = true;
    Device device = it->device;
    device.name = nameOf(request.json);
    data.devices[device.deviceId] = device;
    logLine("paired device " + device.deviceId + " (\"" + device.name + "\") by code");
    return Reply::json(200, deviceAnswer(device));
  });
}

Reply PairingApi::start(const ApiRequest& request) {
  if (badName(request.json)) return missing("name");
  return state_.access([&](StateData& data) {
    MacPairing pairing;
    pairing.id = randomId();
    pairing.code = randomPairingCode();
    pairing.pollToken = randomToken();
    pairing.name = nameOf(request.json);
    pairing.createdAt = Clock::now();
    pairing.expiresAt = pairing.createdAt + data.settings.macPairingLifetime;
    data.macPairings.push_back(pairing);
    logLine("pairing " + pairing.id + " started for \"" + pairing.name + "\", code " + pairing.code);
    return Reply::json(200, Json{{"id", pairing.id},
                                 {"code", pairing.code},
                                 {"pollToken", pairing.pollToken},
                                 {"expiresAt", formatTime(pairing.expiresAt)}});
  });
}

Reply PairingApi::poll(const ApiRequest& request) {
  auto pollToken = requiredString(request.json, "pollToken");
  if (!pollToken) return missing("pollToken");
  return state_.access([&](StateData& data) {
    auto it = std::find_if(data.macPairings.begin(), data.macPairings.end(),
                           [&](const MacPairing& entry) { return entry.pollToken == *pollToken; });
    if (it == data.macPairings.end()) return Reply::error(404, "not_found", "unknown poll token");
    switch (it->stage) {
      case MacPairing::Stage::consumed:
        return Reply::error(409, "pairing_consumed", "the credentials of this pairing were already delivered");
      case MacPairing::Stage::approved: {
        // Handed out exactly once: a second poll must not mint a second device.
        it->stage = MacPairing::Stage::consumed;
        data.devices[it->device.deviceId] = it->device;
        Json answer = deviceAnswer(it->device);
        answer["status"] = "paired";
        return Reply::json(200, answer);
      }
      case MacPairing::Stage::pending:
        break;
    }
    if (Clock::now() >= it->expiresAt) return Reply::json(200, Json{{"status", "expired"}});
    return Reply::json(200, Json{{"status", "pending"}, {"expiresAt", formatTime(it->expiresAt)}});
  });
}

Reply PairingApi::confirm(const ApiRequest& request) {
  auto bearer = request.bearerToken();
  return state_.access([&](StateData& data) {
    auto session = bearer ? data.sessions.find(*bearer) : data.sessions.end();
    if (session == data.sessions.end())
      return Reply::error(401, "unauthorized", "a signed-in user session is required");
    auto id = requiredString(request.json, "id");
    if (!id) return missing("id");
    auto code = requiredString(request.json, "code");
    if (!code) return missing("code");
    auto it = std::find_if(data.macPairings.begin(), data.macPairings.end(),
                           [&](const MacPairing& entry) { return entry.id == *id; });
    if (it == data.macPairings.end()) return Reply::error(404, "not_found", "unknown pairing");
    if (it->stage != MacPairing::Stage::pending)
      return Reply::error(409, "already_paired", "this pairing has already been approved");
    if (Clock::now() >= it->expiresAt) return Reply::error(400, "pairing_expired", "the pairing has expired");
    if (normalizedCode(it->code) != normalizedCode(*code))
      return Reply::error(400, "invalid_code", "the code does not match this pairing");
    it->stage = MacPairing::Stage::approved;
    it->device = Device{randomId(), randomToken(), it->name, session->second.email};
    logLine("pairing " + it->id + " approved by " + session->second.email);
    return Reply::json(200, Json{{"id", it->id}, {"status", "approved"}});
  });
}

}  // namespace corvane::devcoordinator
