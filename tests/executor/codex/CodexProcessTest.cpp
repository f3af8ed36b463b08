#include "executor/codex/CodexProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "executor/support/CVError.h"
#include "platform/Clock.h"
#include "support/ProcessGroups.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using platform::continuousSeconds;

std::vector<Json> readJsonLines(const fs::path& path) {
  std::vector<Json> lines;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line))
    if (!line.empty()) lines.push_back(Json::parse(line));
  return lines;
}

double soon() { return continuousSeconds() + 20; }

// The error code a call ended with ("timeout" for CVError.timeout).
template <typename Body>
std::string failureOf(Body body) {
  try {
    body();
  } catch (const CVError& error) {
    return error.kind() == CVError::Kind::timeout ? "timeout" : error.message();
  }
  return "no error";
}

// Each test drives the fake runtime through the real supervisor (the built
// corvane-mac), scripted through the runtime's home.
class CodexProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home);
    fs::create_directories(work);
    guard = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(guard, 0);
  }
  void TearDown() override {
    stop();
    close(guard);
  }

  // Closes the process; nothing of its group may survive that.
  void stop() {
    if (!process) return;
    pid_t group = process->pid();
    process.reset();
    EXPECT_TRUE(test::waitUntilGroupGone(group, 5)) << "closing left processes of group " << group;
  }

  // A fresh, empty home for the next process.
  void useHome(const std::string& name) {
    home = root / name;
    fs::create_directories(home);
    environment["CODEX_HOME"] = home.string();
  }

  void scenario(const Json& script) { std::ofstream(home / "fake-codex.json") << script.dump(); }
  void signedIn() { std::ofstream(home / "auth.json") << R"({"account": {"email": "user@example.com"}})"; }

  CodexProcess& start(double deadline = continuousSeconds() + 60,
                      std::optional<fs::path> supervisor = fs::path(CORVANE_TOOL_PATH)) {
    process = std::make_unique<CodexProcess>(
        FAKE_CODEX_PATH, arguments, work, environment, guard, deadline, supervisor,
        [this](const CodexFailure& failure) { failures.push_back(failure); },
        [this](const std::string& method, int milliseconds) { successes.emplace_back(method, milliseconds); });
    test::recordProcessGroup(process->pid());
    return *process;
  }

  CodexProcess& startInitialized() {
    auto& codex = start();
    codex.request("initialize", Json{{"clientInfo", {{"name", "corvane_local"}, {"version", "0.1.0"}}}}, soon());
    codex.notify("initialized", Json::object(), soon());
    return codex;
  }

  std::vector<Json> received() { return readJsonLines(home / "fake-codex-received.jsonl"); }

  // The fake records what it reads as it reads it; wait until count lines are there.
  std::vector<Json> receivedAtLeast(size_t count) {
    double end = continuousSeconds() + 20;
    while (received().size() < count && continuousSeconds() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return received();
  }

  test::TemporaryDirectory root;
  fs::path home = root / "home";
  fs::path work = root / "work";
  int guard = -1;
  std::vector<std::string> arguments = {"app-server", "--listen", "stdio://"};
  std::map<std::string, std::string> environment = {{"CODEX_HOME", (root / "home").string()},
                                                    {"HOME", root.path().string()},
                                                    {"PATH", "/usr/bin:/bin"},
                                                    {"LANG", "C.UTF-8"}};
  std::unique_ptr<CodexProcess> process;
  std::vector<CodexFailure> failures;
  std::vector<std::pair<std::string, int>> successes;
};

TEST_F(CodexProcessTest, StartsTheRuntimeUnderTheSupervisorWithExactlyWhatItIsGiven) {
  double deadline = continuousSeconds() + 60;
  auto& codex = start(deadline);
  codex.request("initialize", Json{{"clientInfo", {{"name", "corvane_local"}, {"version", "0.1.0"}}}}, soon());

  auto invocations = readJsonLines(home / "fake-codex-invocations.jsonl");
  ASSERT_EQ(invocations.size(), 1u);
  const Json& runtime = invocations[0];
  EXPECT_EQ(runtime["arguments"], Json(arguments));
  EXPECT_EQ(runtime["environment"], Json(environment));
  EXPECT_EQ(runtime["workingDirectory"], work.string());
  EXPECT_EQ(runtime["descriptors"], Json::array({0, 1, 2, 3}));
  EXPECT_EQ(runtime["parentPid"], codex.pid());
  EXPECT_EQ(runtime["processGroup"], codex.pid());

  std::ifstream cmdline("/proc/" + std::to_string(codex.pid()) + "/cmdline");
  std::string text((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
  std::vector<std::string> supervisorArguments;
  for (size_t start = 0, end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
    supervisorArguments.push_back(text.substr(start, end - start));
  ASSERT_EQ(supervisorArguments.size(), 8u);
  EXPECT_EQ(supervisorArguments[1], "--internal-codex-supervisor");
  EXPECT_EQ(supervisorArguments[2], std::to_string(getpid()));
  EXPECT_EQ(std::stod(supervisorArguments[3]), deadline) << "the deadline must read back exactly";
  EXPECT_EQ(supervisorArguments[4], FAKE_CODEX_PATH);
  EXPECT_EQ(successes.size(), 1u);
  EXPECT_EQ(successes[0].first, "initialize");
}

TEST_F(CodexProcessTest, RefusesToStartWithoutASupervisorOrAGuard) {
  EXPECT_EQ(failureOf([&] { start(continuousSeconds() + 60, std::nullopt); }), "runtime_unavailable");
  EXPECT_EQ(failureOf([&] { start(continuousSeconds() + 60, fs::path("/nonexistent/corvane-mac")); }),
            "runtime_unavailable");
  close(guard);
  guard = -1;
  EXPECT_EQ(failureOf([&] { start(); }), "runtime_unavailable");
  guard = open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_TRUE(failures.empty());
}

TEST_F(CodexProcessTest, NumbersRequestsAndIgnoresLateAnswers) {
  // Before the answer to request 2, a stale duplicate answer to request 1.
  signedIn();
  scenario({{"methods", {{"account/read", {{"before", {{{"line", {{"id", 1}, {"result", {{"stale", true}}}}}}}}}}}}});
  auto& codex = startInitialized();
  Json account = codex.request("account/read", Json{{"refreshToken", false}}, soon());
  EXPECT_FALSE(account.contains("stale"));
  EXPECT_EQ(account["account"]["email"], "user@example.com");
  Json limits = codex.request("account/rateLimits/read", std::nullopt, soon());
  EXPECT_TRUE(limits.contains("rateLimits"));

  std::vector<Json> requests;
  for (const auto& line : receivedAtLeast(4))
    if (line.contains("id")) requests.push_back(line);
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(
      requests[0],
      Json::parse(
          R"({"id":1,"method":"initialize","params":{"clientInfo":{"name":"corvane_local","version":"0.1.0"}}})"));
  EXPECT_EQ(requests[1], Json::parse(R"({"id":2,"method":"account/read","params":{"refreshToken":false}})"));
  EXPECT_EQ(requests[2], Json::parse(R"({"id":3,"method":"account/rateLimits/read"})"));
  EXPECT_TRUE(failures.empty());
}

TEST_F(CodexProcessTest, ATimedOutRequestIsReportedAndItsLateAnswerIgnored) {
  signedIn();
  scenario({{"methods", {{"account/read", {{"delayMs", 800}}}, {"account/rateLimits/read", {{"delayMs", 1200}}}}}});
  auto& codex = startInitialized();
  double started = continuousSeconds();
  EXPECT_EQ(failureOf([&] { codex.request("account/read", Json::object(), continuousSeconds() + 0.3); }),
            "codex_account_read_timeout");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].code.rawValue(), "codex_account_read_timeout");
  ASSERT_TRUE(failures[0].durationMs);
  EXPECT_GE(*failures[0].durationMs, 300);
  EXPECT_LE(*failures[0].durationMs, static_cast<int>((continuousSeconds() - started) * 1000) + 1);

  // The account answer arrives while the next request waits, and is not
  // taken for its answer.
  Json limits = codex.request("account/rateLimits/read", std::nullopt, soon());
  EXPECT_TRUE(limits.contains("rateLimits"));
  EXPECT_EQ(failures.size(), 1u);
}

TEST_F(CodexProcessTest, AnswersShapedUnusually) {
  struct Case {
    const char* name;
    Json step;         // how the fake answers account/read
    std::string code;  // the failure thrown, or "no error"
    Json result;       // the result returned when there is no error
  };
  auto line = [](Json message) { return Json{{"line", std::move(message)}}; };
  const Case cases[] = {
      {"error null is success",
       {{"before", {line({{"id", "$requestId"}, {"error", nullptr}, {"result", {{"fromNull", true}}}})}},
        {"hang", true}},
       "no error",
       {{"fromNull", true}}},
      {"an error object",
       {{"error", {{"code", -32603}, {"message", "failed: HTTP status 429"}}}},
       "codex_account_read_rate_limited",
       nullptr},
      {"a missing result",
       {{"before", {line({{"id", "$requestId"}})}}, {"hang", true}},
       "codex_account_read_protocol",
       nullptr},
      {"a result that is not an object",
       {{"before", {line({{"id", "$requestId"}, {"result", {1, 2}}})}}, {"hang", true}},
       "codex_account_read_protocol",
       nullptr},
      {"a string id is not our answer",
       {{"before", {line({{"id", "2"}, {"result", {{"wrong", true}}}})}}},
       "no error",
       nullptr},
      {"two lines in one write",
       {{"before",
         {{{"raw", "{\"method\":\"configWarning\",\"params\":{}}\n{\"id\":$requestId,\"result\":{\"both\":1}}\n"}}}},
        {"hang", true}},
       "no error",
       {{"both", 1}}},
      {"a line split over writes",
       {{"before", {{{"chunks", {"{\"id\":$requestId,", "\"result\":", "{\"split\":true}}\n"}}, {"pauseMs", 60}}}},
        {"hang", true}},
       "no error",
       {{"split", true}}},
      {"a line that is not JSON", {{"before", {{{"raw", "garbage\n"}}}}}, "codex_account_read_protocol", nullptr},
      {"a JSON line that is not an object", {{"before", {line({1, 2, 3})}}}, "codex_account_read_protocol", nullptr},
      {"an oversized line",
       {{"before", {{{"oversized", 1048577}, {"newline", true}}}}},
       "codex_account_read_protocol",
       nullptr},
      {"an unterminated oversized line",
       {{"before", {{{"oversized", 1048577}, {"newline", false}}}}, {"hang", true}},
       "codex_account_read_protocol",
       nullptr},
      {"a line of exactly the limit", {{"before", {{{"oversized", 1048576}, {"newline", true}}}}}, "no error", nullptr},
      {"the runtime exits without answering",
       {{"hang", true}, {"exit", 0}},
       "codex_account_read_runtime_closed",
       nullptr},
      {"the runtime closes its output",
       {{"before", {{{"closeStdout", true}}}}, {"hang", true}},
       "codex_account_read_runtime_closed",
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    useHome(std::string("home-") + c.name);
    failures.clear();
    signedIn();
    scenario({{"methods", {{"account/read", c.step}}}});
    auto& codex = startInitialized();
    Json result;
    // Far from the deadline: a wrong wait would show as a timeout code.
    std::string code = failureOf([&] { result = codex.request("account/read", Json::object(), soon()); });
    EXPECT_EQ(code, c.code);
    if (code == "no error") {
      if (!c.result.is_null())
        EXPECT_EQ(result, c.result);
      else
        EXPECT_TRUE(result.contains("account"));
      EXPECT_TRUE(failures.empty());
    } else {
      ASSERT_EQ(failures.size(), 1u) << "reported once";
      EXPECT_EQ(failures[0].code.rawValue(), c.code);
    }
    stop();
  }
}

TEST_F(CodexProcessTest, RefusesServerRequestsEvenWithTheAwaitedID) {
  signedIn();
  scenario(
      {{"afterInitialize", {{{"serverRequest", "item/tool/requestUserInput"}, {"params", Json::object()}, {"id", 7}}}},
       {"methods",
        {{"account/read",
          {{"before",
            {{{"line", {{"id", "$requestId"}, {"method", "item/tool/call"}, {"params", Json::object()}}}}}}}}}}});
  auto& codex = startInitialized();
  Json account = codex.request("account/read", Json::object(), soon());
  EXPECT_TRUE(account.contains("account"));
  const Json refusal = {{"code", -32601}, {"message", "Client action is not supported."}};
  std::vector<Json> answers;
  for (const auto& line : receivedAtLeast(5))
    if (line.contains("error")) answers.push_back(line);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0], (Json{{"id", 7}, {"error", refusal}}));
  EXPECT_EQ(answers[1], (Json{{"id", 2}, {"error", refusal}}));
}

TEST_F(CodexProcessTest, ADeeplyNestedLineIsAProtocolFailureNotACrash) {
  // A server request whose id nests 100,000 arrays: answering it would echo
  // the id, and every walk over such a value recurses once per level.
  std::string id = std::string(100000, '[') + std::string(100000, ']');
  scenario({{"methods",
             {{"account/read", {{"before", {{{"raw", "{\"id\":" + id + ",\"method\":\"item/tool/call\"}\n"}}}}}}}}});
  auto& codex = startInitialized();
  EXPECT_EQ(failureOf([&] { codex.request("account/read", Json::object(), soon()); }), "codex_account_read_protocol");
  ASSERT_EQ(failures.size(), 1u);
}

TEST_F(CodexProcessTest, RefusesToSendWhatCannotBeALine) {
  auto& codex = startInitialized();
  EXPECT_EQ(failureOf([&] {
              codex.request("account/read", Json{{"padding", std::string(LineChannel::lineLimit, 'x')}}, soon());
            }),
            "codex_account_read_protocol");
  EXPECT_EQ(failureOf([&] {
              codex.request("account/logout", Json{{"bad", "\xff"}}, soon());
            }),
            "codex_logout_protocol");
  EXPECT_EQ(failures.size(), 2u);
  // Neither was sent; the process still works.
  Json account = codex.request("account/read", Json::object(), soon());
  EXPECT_TRUE(account.contains("account"));
  EXPECT_EQ(failureOf([&] { codex.notify("initialized", Json{{"bad", "\xff"}}, soon()); }), "Invalid JSON");
}

TEST_F(CodexProcessTest, ARuntimeThatStopsReadingTimesOutTheRequest) {
  // The runtime answers initialize and then reads nothing more. A request
  // far larger than the pipe holds must end at its own deadline, long
  // before the supervisor's.
  scenario({{"methods", {{"initialize", {{"after", {{{"freeze", true}}}}}}}}});
  auto& codex = start(continuousSeconds() + 60);
  codex.request("initialize", Json{{"clientInfo", {{"name", "corvane_local"}, {"version", "0.1.0"}}}}, soon());
  Json large = {{"padding", std::string(LineChannel::lineLimit / 2, 'x')}};
  EXPECT_EQ(failureOf([&] { codex.request("account/read", large, continuousSeconds() + 0.5); }),
            "codex_account_read_timeout");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].code.category, CodexFailureCategory::timeout);
  // Half a request went out; nothing may follow it down the same pipe.
  EXPECT_EQ(failureOf([&] { codex.request("account/read", Json::object(), soon()); }),
            "codex_account_read_runtime_closed");
}

TEST_F(CodexProcessTest, APassedDeadlineTimesOutBeforeReading) {
  // Nothing has been read yet, so nothing is buffered: a passed deadline
  // must win over whatever the runtime has already written.
  auto& codex = start();
  EXPECT_EQ(failureOf([&] { codex.receive(continuousSeconds() - 1); }), "timeout");
  EXPECT_EQ(failureOf([&] { codex.request("initialize", Json::object(), continuousSeconds() - 1); }),
            "codex_initialize_timeout");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].code.rawValue(), "codex_initialize_timeout");
}

TEST_F(CodexProcessTest, WaitsForSignInCompletions) {
  scenario(
      {{"deviceCode",
        {{{"completeAfterMs", 300}, {"loginId", "11111111-2222-3333-4444-555555555555"}},
         {{"completeAfterMs", 100}, {"outcome", "failure"}, {"loginId", "22222222-2222-3333-4444-555555555555"}}}}});
  auto& codex = startInitialized();
  Json login = codex.request("account/login/start", Json{{"type", "chatgptDeviceCode"}}, soon());
  ASSERT_EQ(login["loginId"], "11111111-2222-3333-4444-555555555555");
  codex.waitLogin(login["loginId"], soon());
  ASSERT_EQ(successes.size(), 3u);
  EXPECT_EQ(successes[2].first, "account/login/completed");
  EXPECT_GE(successes[2].second, 0);

  login = codex.request("account/login/start", Json{{"type", "chatgptDeviceCode"}}, soon());
  ASSERT_EQ(login["loginId"], "22222222-2222-3333-4444-555555555555");
  // "device auth failed with status 500 Internal Server Error"
  EXPECT_EQ(failureOf([&] { codex.waitLogin(login["loginId"], soon()); }), "codex_login_wait_service_unavailable");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].httpStatus, 500);

  EXPECT_EQ(failureOf([&] { codex.waitLogin("unknown", continuousSeconds() + 0.3); }), "codex_login_wait_timeout");
}

TEST_F(CodexProcessTest, KeepsAtMostEightUnclaimedCompletionsDroppingTheOldest) {
  Json notifications = Json::array();
  for (int i = 1; i <= 9; ++i)
    notifications.push_back(
        {{"notification", "account/login/completed"},
         {"params", {{"loginId", "login-" + std::to_string(i)}, {"success", true}, {"error", nullptr}}}});
  scenario({{"afterInitialize", notifications}});
  auto& codex = startInitialized();
  codex.request("account/read", Json::object(), soon());  // reads past all nine
  for (int i = 2; i <= 9; ++i) codex.waitLogin("login-" + std::to_string(i), continuousSeconds() - 1);
  EXPECT_EQ(failureOf([&] { codex.waitLogin("login-1", continuousSeconds() + 0.2); }), "codex_login_wait_timeout");
  EXPECT_EQ(failures.size(), 1u);
}

TEST_F(CodexProcessTest, ReadsAnExecEventStreamToItsEnd) {
  signedIn();
  arguments = {"exec", "--json", "--skip-git-repo-check", "say OK"};
  auto& codex = start();
  codex.closeInput();
  EXPECT_EQ(failureOf([&] { codex.notify("initialized", Json::object(), soon()); }), "runtime_closed");
  std::vector<std::string> types;
  std::string ended = failureOf([&] {
    while (true) types.push_back(codex.receive(soon()).value("type", ""));
  });
  EXPECT_EQ(ended, "runtime_closed");
  ASSERT_FALSE(types.empty());
  EXPECT_EQ(types.front(), "thread.started");
  EXPECT_EQ(types.back(), "turn.completed");
}

TEST_F(CodexProcessTest, ClosingEndsTheWholeGroupAndLaterCallsFail) {
  scenario({{"ignoreSigterm", true}, {"children", 2}});
  auto& codex = startInitialized();
  pid_t group = codex.pid();
  ASSERT_GE(test::livingMembers(group).size(), 4u);  // supervisor, runtime, two children
  codex.close();
  EXPECT_TRUE(test::waitUntilGroupGone(group, 5));
  EXPECT_EQ(failureOf([&] { codex.notify("initialized", Json::object(), soon()); }), "runtime_closed");
  EXPECT_EQ(failureOf([&] { codex.receive(soon()); }), "runtime_closed");
  codex.close();  // again: nothing
}

TEST_F(CodexProcessTest, ClosingEndsTheGroupOfASupervisorKilledOutright) {
  // SIGKILL is the one signal the supervisor cannot turn into the end of its
  // group: the runtime dies with it, but the runtime's children outlive
  // both. Unreaped, the supervisor keeps the group's identifier reserved, so
  // closing still reaches them.
  scenario({{"ignoreSigterm", true}, {"children", 2}});
  auto& codex = startInitialized();
  pid_t group = codex.pid();
  kill(group, SIGKILL);
  auto supervisorRuns = [&] {
    auto members = test::livingMembers(group);
    return std::any_of(members.begin(), members.end(), [&](const auto& member) { return member.pid == group; });
  };
  double end = continuousSeconds() + 20;
  while (supervisorRuns() && continuousSeconds() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_FALSE(supervisorRuns());
  end = continuousSeconds() + 20;
  while (test::livingMembers(group).size() > 2 && continuousSeconds() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(test::livingMembers(group).size(), 2u) << "the runtime's two children, without the runtime";
  codex.close();
  EXPECT_TRUE(test::waitUntilGroupGone(group, 5));
}

TEST_F(CodexProcessTest, AGoneRuntimeIsRuntimeClosedForReadsAndWrites) {
  scenario({{"onStart", {{{"exit", 3}}}}});
  auto& codex = start();
  EXPECT_EQ(failureOf([&] { codex.receive(continuousSeconds() + 600); }), "runtime_closed");
  // The supervisor ends soon after its runtime; then the pipe is broken and
  // a write must fail rather than raise SIGPIPE.
  std::string written;
  double end = continuousSeconds() + 20;
  while ((written = failureOf([&] { codex.notify("initialized", Json::object(), soon()); })) == "no error" &&
         continuousSeconds() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(written, "runtime_closed");
}

TEST_F(CodexProcessTest, NothingOfTheGroupOutlivesAKilledExecutor) {
  // A forked child plays the executor; its runtime ignores SIGTERM and has
  // children of its own, so only the supervisor's final SIGKILL ends them.
  scenario({{"ignoreSigterm", true}, {"children", 2}});
  int report[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  pid_t executor = fork();
  ASSERT_GE(executor, 0);
  if (executor == 0) {
    try {
      CodexProcess codex(FAKE_CODEX_PATH, arguments, work, environment, guard, continuousSeconds() + 600,
                         fs::path(CORVANE_TOOL_PATH));
      codex.request("initialize", Json{{"clientInfo", {{"name", "corvane_local"}, {"version", "0.1.0"}}}}, soon());
      pid_t group = codex.pid();
      if (write(report[1], &group, sizeof group) != sizeof group) _exit(1);
      while (true) pause();
    } catch (...) {
      _exit(1);
    }
  }
  close(report[1]);
  pid_t group = -1;
  ASSERT_EQ(read(report[0], &group, sizeof group), static_cast<ssize_t>(sizeof group));
  close(report[0]);
  test::recordProcessGroup(group);
  ASSERT_GE(test::livingMembers(group).size(), 4u);

  kill(executor, SIGKILL);
  ASSERT_TRUE(test::waitForChild(executor, 20));
  double killed = continuousSeconds();
  EXPECT_TRUE(test::waitUntilGroupGone(group, 20));
  std::printf("group gone %.3f s after the executor was killed\n", continuousSeconds() - killed);
}

}  // namespace
}  // namespace corvane
