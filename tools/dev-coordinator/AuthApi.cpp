#include "AuthApi.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "CoordinatorState.h"
#include "Fields.h"
#include "Log.h"
#include "Random.h"

namespace corvane::devcoordinator {

namespace {

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool plausibleAddress(const std::string& email) {
  auto at = email.find('@');
  return at != std::string::npos && at > 0 && at + 1 < email.size() && email.find('@', at + 1) == std::string::npos &&
         std::none_of(email.begin(), email.end(), [](unsigned char c) { return c <= ' ' || c == 0x7F; });
}

}  // namespace

AuthApi::AuthApi(CoordinatorState& state) : state_(state) {}

void AuthApi::install(Router& router) {
  router.add("/v1/auth/email/start", [this](const ApiRequest& request) { return start(request); });
  router.add("/v1/auth/email/verify", [this](const ApiRequest& request) { return verify(request); });
  router.add("/v1/auth/logout", [this](const ApiRequest& request) { return logout(request); });
}

Reply AuthApi::start(const ApiRequest& request) {
  auto email = requiredString(request.json, "email");
  if (!email) return missing("email");
  if (!plausibleAddress(*email)) return Reply::error(400, "invalid_email", "not an e-mail address");
  auto purpose = requiredString(request.json, "purpose");
  if (purpose != "login") return Reply::error(400, "invalid_request", "\"purpose\" must be \"login\"");
  std::string language = "en";
  if (request.json.contains("language")) {
    auto given = requiredString(request.json, "language");
    if (!given) return missing("language");
    language = *given;
  }
  return state_.access([&](StateData& data) {
    Time now = Clock::now();
    std::string address = lowercase(*email);
    auto& sent = data.emailCodesSent[address];
    std::erase_if(sent, [&](Time time) { return time + std::chrono::hours(1) <= now; });
    std::optional<Time> allowedAt;
    if (!sent.empty() && now < sent.back() + data.settings.emailResendInterval)
      allowedAt = sent.back() + data.settings.emailResendInterval;
    if (static_cast<int>(sent.size()) >= data.settings.emailCodesPerHour)
      allowedAt = std::max(allowedAt.value_or(now),
                           sent[sent.size() - data.settings.emailCodesPerHour] + std::chrono::hours(1));
    if (allowedAt) {
      auto wait = std::chrono::ceil<std::chrono::seconds>(*allowedAt - now);
      Reply reply = Reply::error(429, "too_many_requests", "too many codes were asked for this address; wait a little");
      reply.headers.emplace_back("Retry-After", std::to_string(std::max<long long>(1, wait.count())));
      return reply;
    }
    sent.push_back(now);
    EmailChallenge challenge;
    challenge.id = randomId();
    challenge.email = *email;
    challenge.code = randomDigits(6);
    challenge.language = language;
    challenge.expiresAt = now + data.settings.emailCodeLifetime;
    challenge.attemptsLeft = data.settings.emailMaxAttempts;
    data.emailChallenges.push_back(challenge);
    logLine("e-mail code for " + challenge.email + ": " + challenge.code + " (challenge " + challenge.id +
            ", language " + language + ")");
    return Reply::json(200, Json{{"challengeId", challenge.id}, {"expiresAt", formatTime(challenge.expiresAt)}});
  });
}

Reply AuthApi::verify(const ApiRequest& request) {
  auto challengeId = requiredString(request.json, "challengeId");
  if (!challengeId) return missing("challengeId");
  auto code = requiredString(request.json, "code");
  if (!code) return missing("code");
  return state_.access([&](StateData& data) {
    auto it = std::find_if(data.emailChallenges.begin(), data.emailChallenges.end(),
                           [&](const EmailChallenge& entry) { return entry.id == *challengeId; });
    if (it == data.emailChallenges.end() || it->used)
      return Reply::error(400, "invalid_challenge", "unknown or already used challenge");
    if (it->attemptsLeft <= 0) return Reply::error(429, "too_many_attempts", "too many wrong codes; ask for a new one");
    if (Clock::now() >= it->expiresAt) return Reply::error(400, "code_expired", "the code has expired");
    if (it->code != *code) {
      --it->attemptsLeft;
      return Reply::error(400, "invalid_code", "wrong code");
    }
    it->used = true;
    Session session{randomToken(), it->email};
    data.sessions[session.token] = session;
    logLine("session opened for " + session.email);
    return Reply::json(200, Json{{"token", session.token}, {"email", session.email}});
  });
}

Reply AuthApi::logout(const ApiRequest& request) {
  auto bearer = request.bearerToken();
  return state_.access([&](StateData& data) {
    auto session = bearer ? data.sessions.find(*bearer) : data.sessions.end();
    if (session == data.sessions.end()) return Reply::error(401, "unauthorized", "no such session");
    logLine("session closed for " + session->second.email);
    data.sessions.erase(session);
    return Reply::json(200, Json::object());
  });
}

}  // namespace corvane::devcoordinator
