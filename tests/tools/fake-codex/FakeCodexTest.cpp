// The fake runtime driven as the executor drives the real one, checked against what the real runtime
// printed in the same exchanges.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "support/ProcessGroups.h"
#include "support/RunResult.h"
#include "support/TemporaryDirectory.h"
#include "tools/fake-codex/LineClient.h"

namespace corvane::test {
namespace {

using Json = nlohmann::json;
namespace fs = std::filesystem;

const fs::path fakeCodex = FAKE_CODEX_PATH;

// The executor's overrides, as it passes them to every runtime.
std::vector<std::string> overrides(const fs::path& work) {
  std::vector<std::string> pairs = {R"(cli_auth_credentials_store="keyring")",
                                    R"(forced_login_method="chatgpt")",
                                    R"(model_provider="corvane-openai")",
                                    R"(model_reasoning_effort="low")",
                                    R"(approval_policy="never")",
                                    R"(web_search="disabled")",
                                    "features.shell_tool=false",
                                    "features.unified_exec=false",
                                    "project_doc_max_bytes=0",
                                    R"(history.persistence="none")",
                                    "analytics.enabled=false",
                                    R"(model_providers.corvane-openai.name="OpenAI")",
                                    "model_providers.corvane-openai.request_max_retries=0",
                                    "log_dir=\"" + (work / "logs").string() + "\"",
                                    "sqlite_home=\"" + (work / "state").string() + "\"",
                                    "mcp_servers={}",
                                    "plugins={}"};
  std::vector<std::string> arguments;
  for (auto& pair : pairs) {
    arguments.push_back("-c");
    arguments.push_back(pair);
  }
  return arguments;
}

// One account's Codex home, scripted through the files the fake reads there.
class Account {
 public:
  fs::path path() const { return directory_.path(); }
  void scenario(const Json& value) const { write("fake-codex.json", value); }
  void signIn(const Json& account = Json::object()) const { write("auth.json", Json{{"account", account}}); }
  bool signedIn() const { return fs::exists(path() / "auth.json"); }
  std::vector<Json> log(const char* name) const {
    std::vector<Json> lines;
    std::ifstream file(path() / name);
    for (std::string line; std::getline(file, line);) lines.push_back(Json::parse(line));
    return lines;
  }
  std::map<std::string, std::string> environment() const {
    return {{"PATH", "/usr/bin:/bin"}, {"LANG", "C.UTF-8"}, {"CODEX_HOME", path().string()}};
  }

 private:
  void write(const char* name, const Json& value) const { std::ofstream(path() / name) << value.dump(); }
  TemporaryDirectory directory_;
};

class Server {
 public:
  explicit Server(const Account& account) : client_(fakeCodex, arguments(account.path()), account.environment()) {}

  static std::vector<std::string> arguments(const fs::path& work) {
    std::vector<std::string> list = {"app-server", "--listen", "stdio://"};
    auto extra = overrides(work);
    list.insert(list.end(), extra.begin(), extra.end());
    return list;
  }

  void send(const Json& message) { client_.send(message.dump()); }
  std::string line(double timeout = 10) {
    auto text = client_.receive(timeout);
    if (!text) throw std::runtime_error("no line from the fake runtime");
    return *text;
  }
  Json next(double timeout = 10) { return Json::parse(line(timeout)); }
  Json request(int id, const std::string& method, std::optional<Json> params = std::nullopt) {
    Json message{{"id", id}, {"method", method}};
    if (params) message["params"] = *params;
    send(message);
    return next();
  }
  // initialize and initialized, as the executor sends them; returns the notifications that followed.
  std::vector<Json> initialize() {
    Json answer = request(1, "initialize", Json{{"clientInfo", {{"name", "corvane_local"}, {"version", "0.1.0"}}}});
    EXPECT_TRUE(answer.contains("result")) << answer;
    send(Json{{"method", "initialized"}, {"params", Json::object()}});
    return {next(), next()};
  }
  LineClient& client() { return client_; }

 private:
  LineClient client_;
};

Json error(int code, const std::string& message) { return Json{{"code", code}, {"message", message}}; }

TEST(FakeCodexAppServer, AnswersWithTheRealEnvelopesAndProtocolErrors) {
  Account account;
  Server server(account);
  server.send(Json{{"id", 0}, {"method", "account/read"}, {"params", {{"refreshToken", false}}}});
  EXPECT_EQ(R"({"error":{"code":-32600,"message":"Not initialized"},"id":0})", server.line());

  server.send(Json{{"id", 1},
                   {"method", "initialize"},
                   {"params", {{"clientInfo", {{"name", "corvane_local"}, {"version", "0.1.0"}}}}}});
  std::string raw = server.line();
  EXPECT_EQ(0u, raw.find(R"({"id":1,"result":{"userAgent":"corvane_local/0.169.0 )")) << raw;
  Json init = Json::parse(raw)["result"];
  EXPECT_EQ(account.path().string(), init["codexHome"]);
  EXPECT_EQ("unix", init["platformFamily"]);

  Json warning = server.next();
  EXPECT_EQ("configWarning", warning["method"]);
  EXPECT_TRUE(warning["emittedAtMs"].is_number_integer());
  EXPECT_FALSE(warning.contains("jsonrpc"));
  Json remote = server.next();
  EXPECT_EQ("remoteControl/status/changed", remote["method"]);
  EXPECT_EQ("disabled", remote["params"]["status"]);

  struct Case {
    Json id;
    std::string method;
    std::optional<Json> params;
    Json error;
  } cases[] = {
      {"s1", "initialize", Json{{"clientInfo", {{"name", "p"}, {"version", "1"}}}},
       error(-32600, "Already initialized")},
      {3, "account/login/start", Json{{"type", "bogus"}},
       error(-32600,
             "Invalid request: unknown variant `bogus`, expected one of `apiKey`, `chatgpt`, "
             "`chatgptDeviceCode`, `chatgptAuthTokens`, `amazonBedrock`, `amazonBedrockAccessKeys`")},
      {4, "account/login/start", std::nullopt, error(-32600, "Invalid request: missing field `params`")},
      {5, "account/read", std::nullopt, error(-32600, "Invalid request: missing field `params`")},
      {6, "account/login/cancel", Json::object(), error(-32600, "Invalid request: missing field `loginId`")},
      {7, "account/login/cancel", Json{{"loginId", "not-a-uuid"}}, error(-32600, "invalid login id: not-a-uuid")},
  };
  for (const auto& c : cases) {
    Json message{{"id", c.id}, {"method", c.method}};
    if (c.params) message["params"] = *c.params;
    server.send(message);
    EXPECT_EQ((Json{{"error", c.error}, {"id", c.id}}), server.next()) << c.method;
  }
  Json unknown = server.request(8, "account/frobnicate", Json::object());
  EXPECT_EQ(-32600, unknown["error"]["code"]);
  EXPECT_EQ(0u, unknown["error"]["message"].get<std::string>().find(
                    "Invalid request: unknown variant `account/frobnicate`, expected one of `initialize`, "));
  EXPECT_EQ(2u, unknown["error"].size()) << "error objects carry no data";
}

TEST(FakeCodexAppServer, SignedOutAccountAnswersAsTheRealRuntime) {
  Account account;
  Server server(account);
  server.initialize();
  EXPECT_EQ(Json::parse(R"({"id":2,"result":{"account":null,"userId":null,"requiresOpenaiAuth":true,
                            "workspaceRouting":null}})"),
            server.request(2, "account/read", Json{{"refreshToken", false}}));
  EXPECT_EQ((Json{{"error", error(-32600, "codex account authentication required to read rate limits")}, {"id", 3}}),
            server.request(3, "account/rateLimits/read"));
  EXPECT_EQ((Json{{"id", 4}, {"result", {{"status", "notFound"}}}}),
            server.request(4, "account/login/cancel", Json{{"loginId", "123e4567-e89b-42d3-a456-426614174000"}}));
  EXPECT_EQ((Json{{"id", 5}, {"result", Json::object()}}), server.request(5, "account/logout", Json::object()));
  Json update = server.next();
  EXPECT_EQ("account/updated", update["method"]);
  EXPECT_EQ((Json{{"authMode", nullptr}, {"planType", nullptr}}), update["params"]);
}

TEST(FakeCodexAppServer, DeviceCodeSignInSignsTheHomeInForLaterRuns) {
  Account account;
  account.scenario(Json{{"account", {{"email", nullptr}, {"planType", "pro"}}},
                        {"deviceCode", {{"completeAfterMs", 100}, {"userCode", "WXYZ-1234"}}}});
  {
    Server server(account);
    server.initialize();
    Json started = server.request(2, "account/login/start", Json{{"type", "chatgptDeviceCode"}})["result"];
    EXPECT_EQ("chatgptDeviceCode", started["type"]);
    EXPECT_EQ("https://auth.openai.com/codex/device", started["verificationUrl"]);
    EXPECT_EQ("WXYZ-1234", started["userCode"]);
    Json completed = server.next();
    EXPECT_EQ("account/login/completed", completed["method"]);
    EXPECT_EQ(
        (Json{
            {"loginId", started["loginId"]}, {"success", true}, {"error", nullptr}, {"onboardingEntrypoint", nullptr}}),
        completed["params"]);
    EXPECT_EQ((Json{{"authMode", "chatgpt"}, {"planType", "pro"}}), server.next()["params"]);
  }
  ASSERT_TRUE(account.signedIn());

  Server server(account);
  server.initialize();
  Json update = server.next();
  EXPECT_EQ("account/updated", update["method"]) << "a signed-in runtime announces the account after initialize";
  Json read = server.request(2, "account/read", Json{{"refreshToken", false}})["result"];
  EXPECT_EQ((Json{{"type", "chatgpt"}, {"email", nullptr}, {"planType", "pro"}, {"workspaceName", nullptr}}),
            read["account"]);
  EXPECT_TRUE(read["workspaceRouting"].is_object());

  Json limits = server.request(3, "account/rateLimits/read")["result"];
  for (const char* member : {"rateLimits", "rateLimitsByLimitId", "rateLimitResetCredits", "ordinaryUsageAllowed",
                             "accountId", "rateLimitUpsell"})
    EXPECT_TRUE(limits.contains(member)) << member;
  EXPECT_EQ(Json::parse(R"({"usedPercent":42,"windowDurationMins":300,"resetsAt":1796861446})"),
            limits["rateLimits"]["primary"]);
  EXPECT_EQ(limits["rateLimits"], limits["rateLimitsByLimitId"]["codex"]);
  EXPECT_EQ("pro", limits["rateLimits"]["planType"]);
  EXPECT_EQ(2, limits["rateLimitResetCredits"]["availableCount"]);
  EXPECT_EQ("codexRateLimits", limits["rateLimitResetCredits"]["credits"][0]["resetType"]);

  EXPECT_EQ((Json{{"id", 4}, {"result", Json::object()}}), server.request(4, "account/logout"));
  EXPECT_FALSE(account.signedIn());
}

TEST(FakeCodexAppServer, SignInFailuresEndAsTheRealRuntimeEndsThem) {
  struct Case {
    const char* name;
    Json scenario;
    bool cancel;
    Json startError;      // null: the start succeeds
    std::string failure;  // the completion's error text
  } cases[] = {
      {"device auth fails", Json{{"deviceCode", {{"outcome", "failure"}, {"completeAfterMs", 0}}}}, false, nullptr,
       "device auth failed with status 500 Internal Server Error"},
      {"cancelled", Json{{"deviceCode", {{"outcome", "pending"}}}}, true, nullptr, "Login was not completed"},
      {"keyring", Json{{"keyring", "unavailable"}, {"deviceCode", {{"completeAfterMs", 0}}}}, false, nullptr,
       "failed to write OAuth tokens to keyring: Platform secure storage failure: no secret service provider or dbus "
       "session found: Platform secure storage failure: no secret service provider or dbus session found: no secret "
       "service provider or dbus session found"},
      {"offline", Json{{"network", "offline"}}, false,
       error(-32603,
             "failed to request device code: error sending request for url "
             "(https://auth.openai.com/api/accounts/deviceauth/usercode)"),
       ""},
      {"disabled", Json{{"deviceCode", {{"enabled", false}}}}, false,
       error(-32600,
             "device code login is not enabled for this Codex server. Use the browser login or verify the "
             "server URL."),
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Account account;
    account.scenario(c.scenario);
    Server server(account);
    server.initialize();
    Json started = server.request(2, "account/login/start", Json{{"type", "chatgptDeviceCode"}});
    if (!c.startError.is_null()) {
      EXPECT_EQ(c.startError, started["error"]);
      continue;
    }
    std::string loginId = started["result"]["loginId"];
    if (c.cancel) {
      EXPECT_EQ((Json{{"status", "canceled"}}),
                server.request(3, "account/login/cancel", Json{{"loginId", loginId}})["result"]);
    }
    Json completed = server.next()["params"];
    EXPECT_EQ(loginId, completed["loginId"]);
    EXPECT_EQ(false, completed["success"]);
    EXPECT_EQ(c.failure, completed["error"]);
    EXPECT_FALSE(account.signedIn());
  }
}

TEST(FakeCodexAppServer, ReadFailuresCarryTheRealCodesAndTexts) {
  const std::string usage = "https://chatgpt.com/backend-api/wham/usage";
  struct Case {
    const char* name;
    Json scenario;
    std::string method;
    Json error;
  } cases[] = {
      {"usage 429", Json{{"usageStatus", 429}}, "account/rateLimits/read",
       error(-32603, "failed to fetch codex rate limits: GET " + usage +
                         " failed: 429 Too Many Requests; content-type=text/plain; body=upstream says no")},
      {"usage 500 by step", Json{{"methods", {{"account/rateLimits/read", {{"failure", "http"}, {"status", 500}}}}}},
       "account/rateLimits/read",
       error(-32603, "failed to fetch codex rate limits: GET " + usage +
                         " failed: 500 Internal Server Error; content-type=text/plain; body=upstream says no")},
      {"offline limits", Json{{"network", "offline"}}, "account/rateLimits/read",
       error(-32603, "failed to fetch codex rate limits: error sending request for url (" + usage + ")")},
      {"offline read", Json{{"network", "offline"}}, "account/read",
       error(-32603, "workspace routing discovery failed")},
      {"routing 401", Json{{"routingStatus", 401}}, "account/read",
       error(-32603, "workspace routing discovery unauthorized (401)")},
      {"keyring limits", Json{{"keyring", "unavailable"}}, "account/rateLimits/read",
       error(-32600, "codex account authentication required to read rate limits")},
      {"keyring logout", Json{{"keyring", "unavailable"}}, "account/logout",
       error(-32603,
             "logout failed: failed to load CLI auth from keyring: Platform secure storage failure: no secret "
             "service provider or dbus session found: Platform secure storage failure: no secret service "
             "provider or dbus session found: no secret service provider or dbus session found")},
      {"literal error", Json{{"methods", {{"account/read", {{"error", error(-32603, "boom")}}}}}}, "account/read",
       error(-32603, "boom")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Account account;
    account.signIn();
    account.scenario(c.scenario);
    Server server(account);
    server.initialize();
    Json params = c.method == "account/read" ? Json{{"refreshToken", false}} : Json::object();
    Json answer = server.request(2, c.method, params);
    if (answer.contains("method")) answer = server.next();  // the signed-in account/updated
    EXPECT_EQ((Json{{"error", c.error}, {"id", 2}}), answer);
  }
}

TEST(FakeCodexAppServer, PerCallScriptsCountAcrossRunsOfOneHome) {
  Account account;
  account.signIn();
  account.scenario(
      Json{{"accountUpdatedDelayMs", 0},
           {"methods", {{"account/rateLimits/read", {{{"failure", "offline"}}, Json::object()}}}},
           {"rateLimits", {Json::object(), {{"primary", {{"usedPercent", 90}}}}, {{"primary", nullptr}}}}});
  std::vector<Json> answers;
  for (int run = 0; run < 3; ++run) {
    Server server(account);
    server.initialize();
    server.next();  // account/updated
    answers.push_back(server.request(2, "account/rateLimits/read"));
  }
  EXPECT_EQ(-32603, answers[0]["error"]["code"]);
  EXPECT_EQ(90, answers[1]["result"]["rateLimits"]["primary"]["usedPercent"]);
  EXPECT_EQ(300, answers[1]["result"]["rateLimits"]["primary"]["windowDurationMins"]);
  EXPECT_EQ(90, answers[1]["result"]["rateLimitsByLimitId"]["codex"]["primary"]["usedPercent"]);
  EXPECT_TRUE(answers[2]["result"]["rateLimits"]["primary"].is_null());
}

TEST(FakeCodexAppServer, ScriptedProtocolFaults) {
  Account account;
  account.scenario(Json::parse(R"({
    "afterInitialize": [{"serverRequest": "item/tool/requestUserInput", "params": {"q": 1}}],
    "methods": {
      "account/read": [{"before": [{"raw": "garbage"}, {"oversized": 1048577},
                                   {"raw": "{\"id\":$requestId,\"method\":\"x\"}\n{\"a\":1}"}],
                        "after": [{"chunks": ["{\"id\":$requestId,", "\"result\":{}}\n"], "pauseMs": 20}]},
                       {}],
      "account/logout": {"hang": true},
      "account/rateLimits/read": {"delayMs": 300},
      "account/login/cancel": {"exit": 7}
    }})"));
  Server server(account);
  server.initialize();
  Json request = server.next();
  EXPECT_EQ((Json{{"id", 0}, {"method", "item/tool/requestUserInput"}, {"params", {{"q", 1}}}}), request);
  server.send(Json{{"id", 0}, {"error", error(-32601, "Client action is not supported.")}});

  server.send(Json{{"id", 2}, {"method", "account/read"}, {"params", Json::object()}});
  EXPECT_EQ("garbage", server.line());
  EXPECT_EQ(1048577u, server.line().size());
  EXPECT_EQ((Json{{"id", 2}, {"method", "x"}}), server.next());
  EXPECT_EQ((Json{{"a", 1}}), server.next());
  EXPECT_TRUE(server.next()["result"]["account"].is_null());
  EXPECT_EQ((Json{{"id", 2}, {"result", Json::object()}}), server.next()) << "a late duplicate answer";

  // A hanging and a slow answer do not hold up the next request.
  server.send(Json{{"id", 3}, {"method", "account/logout"}});
  server.send(Json{{"id", 4}, {"method", "account/rateLimits/read"}});
  EXPECT_EQ(5, server.request(5, "account/read", Json::object())["id"]);
  EXPECT_EQ(4, server.next()["id"]);

  server.send(Json{{"id", 6}, {"method", "account/login/cancel"}, {"params", {{"loginId", "x"}}}});
  EXPECT_EQ(6, server.next()["id"]);
  EXPECT_TRUE(server.client().endsWithin(10));
  EXPECT_EQ(7, server.client().wait());

  std::vector<Json> received = account.log("fake-codex-received.jsonl");
  ASSERT_GE(received.size(), 3u);
  EXPECT_EQ(-32601, received[2]["error"]["code"]) << "the client's answer to the server request is recorded";
}

TEST(FakeCodexAppServer, ExitsEarlyAndRecordsHowItWasStarted) {
  Account account;
  account.scenario(Json{{"onStart", {{{"raw", "not json"}}, {{"exit", 3}}}}});
  std::ofstream(account.path() / "config.toml") << "cli_auth_credentials_store = \"keyring\"\n";
  Server server(account);
  EXPECT_EQ("not json", server.line());
  EXPECT_TRUE(server.client().endsWithin(10));
  EXPECT_EQ(3, server.client().wait());

  Json invocation = account.log("fake-codex-invocations.jsonl").at(0);
  EXPECT_EQ(Json(Server::arguments(account.path())), invocation["arguments"]);
  EXPECT_EQ(Json(account.environment()), invocation["environment"]);
  EXPECT_EQ(Json::array({0, 1, 2}), invocation["descriptors"]);
  EXPECT_EQ("cli_auth_credentials_store = \"keyring\"\n", invocation["configToml"]);
}

TEST(FakeCodexAppServer, CanSurviveSigtermAndLeaveChildrenInItsGroup) {
  Account account;
  account.scenario(Json{{"ignoreSigterm", true}, {"children", 2}});
  pid_t group = 0;
  std::vector<pid_t> children;
  {
    Server server(account);
    server.initialize();
    Json invocation = account.log("fake-codex-invocations.jsonl").at(0);
    group = invocation["processGroup"];
    EXPECT_EQ(invocation["pid"], group);
    for (const auto& child : invocation["children"]) children.push_back(child);
    ASSERT_EQ(2u, children.size());
    EXPECT_EQ(3u, livingMembers(group).size()) << "the fake and its two children share one group";
    ASSERT_EQ(0, kill(-group, SIGTERM));
    EXPECT_EQ(2, server.request(2, "account/read", Json::object())["id"]) << "SIGTERM did not end it";
  }  // the client kills the group with SIGKILL
  EXPECT_TRUE(waitUntilGroupGone(group, 10)) << "children of the fake outlived the group kill";
}

RunResult exec(const Account& account, double timeoutSeconds = 5) {
  std::vector<std::string> arguments = {"exec",
                                        "--ignore-user-config",
                                        "--ignore-rules",
                                        "--ephemeral",
                                        "--skip-git-repo-check",
                                        "--sandbox",
                                        "read-only",
                                        "--json",
                                        "--color",
                                        "never",
                                        "--cd",
                                        account.path().string(),
                                        "--model",
                                        "gpt-5.6-luna"};
  auto extra = overrides(account.path());
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  arguments.push_back("Reply with exactly OK. Do not use any tools.");
  RunOptions options;
  options.environment["CODEX_HOME"] = account.path().string();
  options.timeoutSeconds = timeoutSeconds;
  return runProgram(fakeCodex, arguments, options);
}

std::vector<std::string> eventTypes(const std::string& out) {
  std::vector<std::string> types;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    Json event = Json::parse(line);
    std::string type = event["type"];
    if (event.contains("item")) type += ":" + event["item"]["type"].get<std::string>();
    types.push_back(type);
  }
  return types;
}

TEST(FakeCodexExec, PrintsTheEventStreamOfEachOutcome) {
  using Types = std::vector<std::string>;
  const Types start = {"thread.started", "item.completed:error", "turn.started"};
  auto with = [&](Types rest) {
    Types all = start;
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
  };
  struct Case {
    const char* name;
    bool signedIn;
    Json scenario;
    int status;
    Types types;
  } cases[] = {
      {"ok", true, Json::object(), 0,
       with({"item.completed:reasoning", "item.completed:agent_message", "turn.completed"})},
      {"reasoning only", true, Json{{"exec", {{"outcome", "reasoningOnly"}}}}, 0,
       with({"item.completed:reasoning", "turn.completed"})},
      {"tool", true, Json{{"exec", {{"outcome", "tool"}}}}, 0,
       with({"item.completed:reasoning", "item.started:command_execution", "item.completed:command_execution",
             "item.completed:agent_message", "turn.completed"})},
      {"failed", true, Json{{"exec", {{"outcome", "failed"}}}}, 1, with({"error", "turn.failed"})},
      {"signed out", false, Json::object(), 1, with({"error", "turn.failed"})},
      {"keyring", true, Json{{"keyring", "unavailable"}}, 1, {}},
      {"hang", true, Json{{"exec", {{"outcome", "hang"}}}}, 128 + SIGKILL, start},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Account account;
    if (c.signedIn) account.signIn();
    account.scenario(c.scenario);
    RunResult run = exec(account, c.status == 128 + SIGKILL ? 1 : 5);
    EXPECT_EQ(c.status, run.status) << run.err;
    EXPECT_EQ(c.types, eventTypes(run.out));
  }
}

TEST(FakeCodexExec, FailedTurnRepeatsTheErrorAndWarningNamesTheModel) {
  Account account;
  account.signIn();
  account.scenario(Json{{"exec",
                         {{{"outcome", "ok"}, {"text", "Hi there!"}},
                          {{"outcome", "failed"}, {"message", "You’ve hit your usage limit."}}}}});
  RunResult ok = exec(account);
  auto lines = [](const std::string& out) {
    std::vector<Json> events;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) events.push_back(Json::parse(line));
    return events;
  };
  auto events = lines(ok.out);
  ASSERT_EQ(6u, events.size());
  EXPECT_EQ("item_0", events[1]["item"]["id"]);
  EXPECT_NE(std::string::npos, events[1]["item"]["message"].get<std::string>().find("`gpt-5.6-luna`"));
  EXPECT_EQ("Hi there!", events[4]["item"]["text"]);
  EXPECT_TRUE(events[5]["usage"]["output_tokens"].is_number_integer());

  events = lines(exec(account).out);
  ASSERT_EQ(5u, events.size());
  EXPECT_EQ((Json{{"type", "error"}, {"message", "You’ve hit your usage limit."}}), events[3]);
  EXPECT_EQ((Json{{"type", "turn.failed"}, {"error", {{"message", "You’ve hit your usage limit."}}}}), events[4]);
}

TEST(FakeCodexArguments, RefusesWhatTheRealRuntimeRefuses) {
  Account account;
  RunOptions options;
  options.environment["CODEX_HOME"] = account.path().string();
  std::vector<std::vector<std::string>> refused = {
      {"frobnicate"},     {"app-server", "--bogus"},          {"app-server", "--listen", "ws://127.0.0.1:1"},
      {"exec", "--json"}, {"exec", "--json", "--bogus", "x"}, {"exec", "-c", "novalue", "--json", "x"}};
  for (const auto& arguments : refused) {
    RunResult run = runProgram(fakeCodex, arguments, options);
    EXPECT_NE(0, run.status) << arguments.back();
    EXPECT_EQ("", run.out);
    EXPECT_FALSE(run.err.empty());
  }
  EXPECT_EQ("codex-cli 0.169.0\n", runProgram(fakeCodex, {"--version"}, options).out);
}

}  // namespace
}  // namespace corvane::test
