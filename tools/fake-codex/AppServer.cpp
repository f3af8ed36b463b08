#include "AppServer.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <regex>

#include "RuntimeTexts.h"

namespace corvane::fakecodex {

namespace {

// Lines longer than this are dropped unread rather than buffered without bound.
constexpr size_t inputLineLimit = 64 * 1024 * 1024;

double monotonicMilliseconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1000 + static_cast<double>(t.tv_nsec) / 1e6;
}

std::string missingField(const char* name) { return std::string("Invalid request: missing field `") + name + "`"; }

bool isUuid(const std::string& text) {
  static const std::regex pattern("^[0-9a-fA-F]{8}-?[0-9a-fA-F]{4}-?[0-9a-fA-F]{4}-?[0-9a-fA-F]{4}-?[0-9a-fA-F]{12}$");
  return std::regex_match(text, pattern);
}

long long milliseconds(const Json& object, const char* name, long long fallback) {
  if (!object.is_object()) return fallback;
  auto it = object.find(name);
  return it != object.end() && it->is_number() ? it->get<long long>() : fallback;
}

std::optional<int> status(const Json& value) {
  if (value.is_number_integer()) return value.get<int>();
  return std::nullopt;
}

}  // namespace

AppServer::AppServer(FakeHome& home) : home_(home) {}

AppServer::Conditions AppServer::conditions() const {
  Conditions c;
  c.offline = home_.setting("network") == "offline";
  c.keyringUnavailable = home_.setting("keyring") == "unavailable";
  c.usageStatus = status(home_.setting("usageStatus"));
  if (home_.setting("usageBody").is_string()) c.usageBody = home_.setting("usageBody").get<std::string>();
  c.routingStatus = status(home_.setting("routingStatus"));
  return c;
}

std::optional<Json> AppServer::account(const Conditions& conditions) const {
  // Credentials the runtime cannot read count as none, as with the real runtime.
  if (conditions.keyringUnavailable) return std::nullopt;
  return home_.signedInAccount();
}

void AppServer::schedule(long long delayMilliseconds, std::function<void()> action) {
  timers_.emplace(monotonicMilliseconds() + static_cast<double>(std::max(0LL, delayMilliseconds)), std::move(action));
}

void AppServer::result(const Json& id, const Json& value) { out_.line(Json{{"id", id}, {"result", value}}); }

void AppServer::error(const Json& id, int code, const std::string& message) {
  out_.line(Json{{"error", {{"code", code}, {"message", message}}}, {"id", id}});
}

int AppServer::run() {
  actions_.perform(home_.setting("onStart"));
  std::string pending;
  bool inputOpen = true;
  bool discarding = false;  // inside an overlong line
  for (;;) {
    // Run what is due, in order; a timer may add timers.
    while (!timers_.empty() && timers_.begin()->first <= monotonicMilliseconds()) {
      auto action = std::move(timers_.begin()->second);
      timers_.erase(timers_.begin());
      action();
    }
    if (!inputOpen && timers_.empty()) return 0;
    int timeout = -1;
    if (!timers_.empty())
      timeout = static_cast<int>(std::max(0.0, timers_.begin()->first - monotonicMilliseconds())) + 1;
    if (!inputOpen) {
      sleepMilliseconds(timeout);
      continue;
    }
    pollfd input{STDIN_FILENO, POLLIN, 0};
    int ready = poll(&input, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[65536];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      inputOpen = false;
      continue;
    }
    pending.append(buffer, static_cast<size_t>(n));
    for (size_t newline = pending.find('\n'); newline != std::string::npos; newline = pending.find('\n')) {
      std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      if (discarding) {
        discarding = false;
        continue;
      }
      handleLine(line);
    }
    if (pending.size() > inputLineLimit) {
      std::fprintf(stderr, "fake-codex: dropping an input line longer than %zu bytes\n", inputLineLimit);
      pending.clear();
      discarding = true;
    }
  }
}

void AppServer::handleLine(const std::string& line) {
  if (line.find_first_not_of(" \t\r") == std::string::npos) return;
  Json message = Json::parse(line, nullptr, false);
  home_.record("fake-codex-received.jsonl", message.is_discarded() ? Json{{"unparsed", line}} : message);
  if (message.is_discarded() || !message.is_object()) {
    std::fprintf(stderr, "fake-codex: ignoring a line that is not a JSON object\n");
    return;
  }
  auto method = message.find("method");
  auto id = message.find("id");
  if (method == message.end()) return;  // a client's answer to a server request: recorded above
  if (!method->is_string()) {
    if (id != message.end()) error(*id, -32600, "Invalid request: invalid type: expected a string method");
    return;
  }
  if (id == message.end()) return;  // a notification such as "initialized"
  auto params = message.find("params");
  handleRequest(*id, method->get<std::string>(), params == message.end() ? nullptr : &*params);
}

std::optional<std::string> AppServer::invalidParams(const std::string& method, const Json* params) const {
  auto requireObject = [&]() -> std::optional<std::string> {
    if (!params) return missingField("params");
    if (!params->is_object())
      return "Invalid request: invalid type: " + std::string(params->type_name()) + ", expected a map";
    return std::nullopt;
  };
  if (method == "initialize") {
    if (auto problem = requireObject()) return problem;
    auto info = params->find("clientInfo");
    if (info == params->end()) return missingField("clientInfo");
    if (!info->is_object()) return std::string("Invalid request: invalid type: expected struct ClientInfo");
    if (!info->contains("name")) return missingField("name");
    if (!info->contains("version")) return missingField("version");
  } else if (method == "account/read") {
    return requireObject();
  } else if (method == "account/login/start") {
    if (auto problem = requireObject()) return problem;
    auto type = params->find("type");
    if (type == params->end()) return missingField("type");
    static const char* types[] = {
        "apiKey", "chatgpt", "chatgptDeviceCode", "chatgptAuthTokens", "amazonBedrock", "amazonBedrockAccessKeys"};
    bool known = false;
    for (const char* name : types) known = known || *type == name;
    if (!known) {
      std::string message = "Invalid request: unknown variant `" +
                            (type->is_string() ? type->get<std::string>() : type->dump()) + "`, expected one of ";
      for (size_t i = 0; i < std::size(types); ++i) message += (i ? ", `" : "`") + std::string(types[i]) + "`";
      return message;
    }
  } else if (method == "account/login/cancel") {
    if (auto problem = requireObject()) return problem;
    if (!params->contains("loginId")) return missingField("loginId");
  }
  return std::nullopt;
}

void AppServer::handleRequest(const Json& id, const std::string& method, const Json* params) {
  if (!initialized_ && method != "initialize") return error(id, -32600, "Not initialized");
  if (!isKnownMethod(method)) return error(id, -32600, unknownMethodMessage(method));
  if (auto problem = invalidParams(method, params)) return error(id, -32600, *problem);
  if (method == "initialize" && initialized_) return error(id, -32600, "Already initialized");
  int count = home_.countCall(method);
  Json methods = home_.setting("methods");
  Json step = methods.is_object() && methods.contains(method) ? FakeHome::pick(methods[method], count) : Json();
  if (!step.is_object()) step = Json::object();
  Json parameters = params ? *params : Json();
  long long delay = milliseconds(step, "delayMs", 0);
  if (method == "initialize") initialized_ = true;  // later requests are served while a slow answer waits
  if (delay > 0)
    schedule(delay, [=, this] { execute(id, method, parameters, step, count); });
  else
    execute(id, method, parameters, step, count);
}

void AppServer::execute(const Json& id, const std::string& method, const Json& params, const Json& step, int count) {
  actions_.perform(step.value("before", Json()), id);
  if (step.value("freeze", false)) freeze();
  if (!step.value("hang", false)) {
    if (step.contains("result")) {
      result(id, step["result"]);
    } else if (auto e = step.find("error"); e != step.end() && e->is_object()) {
      out_.line(Json{{"error", *e}, {"id", id}});
    } else {
      Conditions c = conditions();
      std::string failure = step.value("failure", "");
      if (failure == "offline") c.offline = true;
      if (failure == "keyring") c.keyringUnavailable = true;
      if (failure == "http") {
        int code = step.value("status", 500);
        c.usageStatus = c.routingStatus = c.deviceCodeStatus = code;
        if (step.contains("body") && step["body"].is_string()) c.usageBody = step["body"].get<std::string>();
      }
      answerByDefault(id, method, params, c, count);
    }
  }
  actions_.perform(step.value("after", Json()), id);
  if (auto status = step.find("exit"); status != step.end() && status->is_number_integer())
    std::_Exit(status->get<int>());
}

void AppServer::answerByDefault(const Json& id, const std::string& method, const Json& params,
                                const Conditions& conditions, int count) {
  if (method == "initialize") return initialize(id, params);
  if (method == "account/read") return readAccount(id, conditions);
  if (method == "account/rateLimits/read") return readRateLimits(id, params, conditions, count);
  if (method == "account/login/start") return startLogin(id, params, conditions, count);
  if (method == "account/login/cancel") return cancelLogin(id, params);
  if (method == "account/logout") return logout(id, conditions);
  error(id, -32603, "fake-codex does not implement `" + method + "`");
}

void AppServer::initialize(const Json& id, const Json& params) {
  const Json& info = params["clientInfo"];
  auto text = [](const Json& value) { return value.is_string() ? value.get<std::string>() : value.dump(); };
  result(id, initializeResult(text(info["name"]), text(info["version"]), home_.directory().string()));
  if (home_.setting("configWarning") != false) out_.notification("configWarning", configWarningParams());
  out_.notification("remoteControl/status/changed", remoteControlParams());
  Conditions c = conditions();
  // The real runtime announces a signed-in account once it has reached the backend.
  if (account(c) && !c.offline) {
    schedule(milliseconds(home_.scenario(), "accountUpdatedDelayMs", 50), [this, c] {
      // Told as the account is when the notice goes out: a sign-out meanwhile has announced itself.
      if (auto signedIn = account(c))
        out_.notification("account/updated", Json{{"authMode", "chatgpt"}, {"planType", (*signedIn)["planType"]}});
    });
  }
  actions_.perform(home_.setting("afterInitialize"));
}

void AppServer::readAccount(const Json& id, const Conditions& conditions) {
  auto signedIn = account(conditions);
  if (!signedIn)
    return result(
        id,
        Json{{"account", nullptr}, {"userId", nullptr}, {"requiresOpenaiAuth", true}, {"workspaceRouting", nullptr}});
  if (conditions.routingStatus == 401) return error(id, -32603, "workspace routing discovery unauthorized (401)");
  if (conditions.offline || conditions.routingStatus) return error(id, -32603, "workspace routing discovery failed");
  const Json& a = *signedIn;
  result(id, Json{{"account",
                   {{"type", "chatgpt"},
                    {"email", a["email"]},
                    {"planType", a["planType"]},
                    {"workspaceName", a.value("workspaceName", Json())}}},
                  {"userId", a["userId"]},
                  {"requiresOpenaiAuth", true},
                  {"workspaceRouting",
                   {{"chatgptAccountId", a["chatgptAccountId"]},
                    {"backendOrigin", "https://chatgpt.com"},
                    {"accountRoutingOverride", "NO_CONSTRAINT"}}}});
}

void AppServer::readRateLimits(const Json& id, const Json& params, const Conditions& conditions, int count) {
  auto signedIn = account(conditions);
  if (!signedIn) return error(id, -32600, "codex account authentication required to read rate limits");
  if (conditions.offline)
    return error(id, -32603,
                 std::string("failed to fetch codex rate limits: error sending request for url (") + usageURL + ")");
  if (conditions.usageStatus)
    return error(id, -32603,
                 std::string("failed to fetch codex rate limits: GET ") + usageURL +
                     " failed: " + httpStatusText(*conditions.usageStatus) +
                     "; content-type=text/plain; body=" + conditions.usageBody);
  Json planType = (*signedIn)["planType"];
  Json limits = defaultRateLimitsResult(planType.is_string() ? planType.get<std::string>() : "unknown");
  // "rateLimits" changes the codex bucket wherever it appears; "rateLimitsResult" changes the whole result.
  if (Json bucket = FakeHome::pick(home_.setting("rateLimits"), count); bucket.is_object()) {
    limits["rateLimits"].merge_patch(bucket);
    limits["rateLimitsByLimitId"]["codex"].merge_patch(bucket);
  }
  if (Json whole = FakeHome::pick(home_.setting("rateLimitsResult"), count); whole.is_object())
    limits.merge_patch(whole);
  if (params.is_object() && params.value("excludeResetCreditDetails", false) &&
      limits["rateLimitResetCredits"].is_object())
    limits["rateLimitResetCredits"]["credits"] = nullptr;
  result(id, limits);
}

void AppServer::startLogin(const Json& id, const Json& params, const Conditions& conditions, int count) {
  if (params["type"] != "chatgptDeviceCode")
    return error(id, -32603, "fake-codex does not implement the `" + params["type"].get<std::string>() + "` sign-in");
  Json script = FakeHome::pick(home_.setting("deviceCode"), count);
  if (!script.is_object()) script = Json::object();
  std::optional<int> failedStatus = conditions.deviceCodeStatus;
  if (!failedStatus && script.value("enabled", true) == false) failedStatus = 404;
  if (conditions.offline)
    return error(id, -32603,
                 std::string("failed to request device code: error sending request for url (") + deviceCodeURL + ")");
  if (failedStatus == 404)
    return error(id, -32600,
                 "device code login is not enabled for this Codex server. Use the browser login or verify the server "
                 "URL.");
  if (failedStatus) return error(id, -32603, "device code request failed with status " + httpStatusText(*failedStatus));

  std::string loginId = script.value("loginId", randomUuid());
  result(id, Json{{"type", "chatgptDeviceCode"},
                  {"loginId", loginId},
                  {"verificationUrl", script.value("verificationUrl", std::string(verificationURL))},
                  {"userCode", script.value("userCode", std::string("ABCD-EFGH"))}});
  pendingLogins_.insert(loginId);
  std::string outcome = script.value("outcome", "success");
  if (outcome == "pending") return;  // the user never finishes; cancel or sign-out ends it
  // Member by member, not a merge patch: a null e-mail is a value here, not a removal.
  Json account = defaultAccount();
  for (const Json& named : {home_.setting("account"), script.value("account", Json())})
    if (named.is_object())
      for (auto& [key, value] : named.items()) account[key] = value;
  std::string failure;
  if (outcome == "failure")
    failure = script.value("error", "device auth failed with status 500 Internal Server Error");
  else if (conditions.keyringUnavailable)
    failure = std::string("failed to write OAuth tokens to keyring: ") + keyringCause;
  schedule(milliseconds(script, "completeAfterMs", 1000), [this, loginId, failure, account] {
    if (pendingLogins_.count(loginId)) completeLogin(loginId, failure.empty(), failure, account);
  });
}

void AppServer::completeLogin(const std::string& loginId, bool success, const std::string& failure,
                              const Json& account) {
  pendingLogins_.erase(loginId);
  if (success) home_.signIn(account);
  out_.notification("account/login/completed", Json{{"loginId", loginId},
                                                    {"success", success},
                                                    {"error", success ? Json() : Json(failure)},
                                                    {"onboardingEntrypoint", nullptr}});
  if (success) out_.notification("account/updated", Json{{"authMode", "chatgpt"}, {"planType", account["planType"]}});
}

void AppServer::cancelLogin(const Json& id, const Json& params) {
  const Json& value = params["loginId"];
  std::string loginId = value.is_string() ? value.get<std::string>() : value.dump();
  if (!value.is_string() || !isUuid(loginId)) return error(id, -32600, "invalid login id: " + loginId);
  if (!pendingLogins_.count(loginId)) return result(id, Json{{"status", "notFound"}});
  result(id, Json{{"status", "canceled"}});
  completeLogin(loginId, false, "Login was not completed", Json());
}

void AppServer::logout(const Json& id, const Conditions& conditions) {
  if (conditions.keyringUnavailable)
    return error(id, -32603, std::string("logout failed: failed to load CLI auth from keyring: ") + keyringCause);
  home_.signOut();
  result(id, Json::object());
  std::set<std::string> interrupted = pendingLogins_;
  for (const auto& loginId : interrupted) completeLogin(loginId, false, "Login was not completed", Json());
  out_.notification("account/updated", Json{{"authMode", nullptr}, {"planType", nullptr}});
}

}  // namespace corvane::fakecodex
