#include "AgentFixture.h"

namespace corvane::test {

AgentFixture::AgentFixture() {
  auto code = coordinator.createPairingCode()["code"].get<std::string>();
  CoordinatorClient unpaired(coordinator.httpOrigin(), std::nullopt, true);
  token = unpaired.post("/v1/executor/pair", Json{{"code", code}, {"name", "agent test"}})["token"];
  client.emplace(coordinator.httpOrigin(), token, true);
  journal.emplace(directory / "agent.sqlite3", timer.clock());
}

nlohmann::json AgentFixture::offer(const std::string& id, const std::string& action, const std::string& credential) {
  return nlohmann::json{
      {"id", id},         {"accountId", "account-" + credential}, {"credentialId", credential}, {"bindingVersion", 1},
      {"action", action}, {"expiresAt", "2099-01-01T00:00:00Z"}};
}

void AgentFixture::addOffers(const std::vector<nlohmann::json>& offers) {
  coordinator.control("executor/offers", {{"offers", offers}, {"wake", false}});
}

std::vector<nlohmann::json> AgentFixture::syncBodies() {
  std::vector<nlohmann::json> bodies;
  for (const auto& request : coordinator.requests("/v1/executor/sync")) bodies.push_back(request["json"]);
  return bodies;
}

nlohmann::json AgentFixture::lastSyncBody() {
  auto bodies = syncBodies();
  return bodies.empty() ? nlohmann::json() : bodies.back();
}

void AgentFixture::claimAndFinish(const std::string& id, const std::string& action, const nlohmann::json& result) {
  Json claim = client->post("/v1/executor/tasks/" + id + "/claim", Json::object());
  journal->execute("INSERT INTO tasks(id,lease_id,stage,action) VALUES (?,?,?,?)",
                   {id, claim["leaseId"].get<std::string>(), "sending", action});
  journal->finish(id, result);
}

AgentHooks AgentFixture::hooks() {
  AgentHooks hooks;
  hooks.onHealth = [this](const AgentHealth& health) {
    std::lock_guard guard(healthMutex);
    published.push_back(health);
  };
  return hooks;
}

std::vector<AgentHealth> AgentFixture::healths() {
  std::lock_guard guard(healthMutex);
  return published;
}

}  // namespace corvane::test
