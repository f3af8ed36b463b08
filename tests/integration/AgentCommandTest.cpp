// The background executor as one real process: `corvane-mac agent` with the
// fake runtime as its Codex, against the development coordinator, on a
// directory paired through the tool itself and a throwaway keyring. Every
// claimed task must end in exactly one delivered result, also across a
// kill -9 at each boundary of a task.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dev-coordinator/testing/DevCoordinator.h"
#include "executor/state/TokenVault.h"
#include "executor/support/Json.h"
#include "support/ProcessGroups.h"
#include "support/RunResult.h"
#include "support/TemporaryDirectory.h"
#include "support/TestKeyring.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

const auto* keyring = ::testing::AddGlobalTestEnvironment(new test::KeyringEnvironment);

std::string readFile(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::stringstream contents;
  contents << stream.rdbuf();
  return contents.str();
}

// Polls condition until it holds; false after a minute. Not a timing check:
// the bound only keeps a broken build from hanging the suite.
bool eventually(const std::function<bool()>& condition, double seconds = 60) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// One run of the tool that goes on until it is stopped, in a process group
// of its own (its supervisors and runtimes below it), with both output
// streams in files. The destructor kills the group.
class AgentProcess {
 public:
  AgentProcess(const std::vector<std::string>& arguments, const fs::path& logs)
      : out_(logs / "out"), err_(logs / "err") {
    static int runs = 0;
    ++runs;
    out_ += std::to_string(runs);
    err_ += std::to_string(runs);
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      int in = open("/dev/null", O_RDONLY);
      int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      std::vector<std::string> strings = {CORVANE_TOOL_PATH};
      strings.insert(strings.end(), arguments.begin(), arguments.end());
      std::vector<char*> argv;
      for (auto& s : strings) argv.push_back(s.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    setpgid(pid_, pid_);
    group_ = pid_;
  }
  ~AgentProcess() {
    if (pid_ > 0) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (group_ > 0) kill(-group_, SIGKILL);
  }
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  void signal(int number) const { kill(pid_, number); }
  // Its exit status (128 + signal when killed); nothing while it runs on.
  std::optional<int> wait(double seconds = 60) {
    auto status = test::waitForChild(pid_, seconds);
    if (!status) return std::nullopt;
    pid_ = -1;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
  }
  // kill -9 of the executor alone, as a crash would end it.
  void crash() {
    kill(pid_, SIGKILL);
    wait();
  }
  std::string out() const { return readFile(out_); }
  std::string err() const { return readFile(err_); }

 private:
  pid_t pid_ = -1;
  pid_t group_ = 0;
  fs::path out_;
  fs::path err_;
};

class AgentCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(logs);
    Json pairing = server.createPairingCode();
    auto result = tool("pair", pairing["code"].get<std::string>() + "\n");
    ASSERT_EQ(result.status, 0) << result.err;
    data = fs::canonical(data);
  }

  std::vector<std::string> arguments(const std::string& command) const {
    return {"--url",       server.httpOrigin(), "--development-loopback", "--data-dir",
            data.string(), "--codex",           FAKE_CODEX_PATH,          command};
  }
  test::RunResult tool(const std::string& command, const std::string& input = "") const {
    test::RunOptions options;
    options.input = input;
    return test::runProgram(CORVANE_TOOL_PATH, arguments(command), options);
  }
  std::unique_ptr<AgentProcess> startAgent(const std::string& word = "agent") {
    auto agent = std::make_unique<AgentProcess>(arguments(word), logs);
    EXPECT_TRUE(eventually([&] { return agent->out().find("executor started") != std::string::npos; })) << agent->err();
    return agent;
  }

  // A signed-in account home for credential, scripted for the fake runtime.
  void account(const std::string& credential, const Json& scenario = Json::object()) const {
    fs::path home = data / "codex" / credential;
    fs::create_directories(home);
    std::ofstream(home / "auth.json") << R"({"account": {"email": "a@example.com", "planType": "pro"}})";
    std::ofstream(home / "fake-codex.json") << scenario.dump();
  }
  int calls(const std::string& credential, const std::string& method) const {
    auto counts = parseJSON(readFile(data / "codex" / credential / "fake-codex-calls.json"));
    if (!counts || !counts->contains(method)) return 0;
    return (*counts)[method].get<int>();
  }

  static Json offer(const std::string& id, const std::string& action, const std::string& credential,
                    bool automatic = false) {
    Json offer{
        {"id", id},         {"accountId", "account-" + credential}, {"credentialId", credential}, {"bindingVersion", 1},
        {"action", action}, {"expiresAt", "2099-01-01T00:00:00Z"}};
    if (automatic) offer["payload"] = {{"triggers", {"window_reset"}}};
    return offer;
  }
  void addOffer(const Json& offer) const { server.control("executor/offers", {{"offer", offer}}); }
  Json task(const std::string& id) const { return server.control("executor/tasks", {{"id", id}})["tasks"][0]; }

  // Waits for the task's one completion and returns its body without the
  // lease; null when none came.
  Json delivered(const std::string& id) const {
    if (!eventually([&] { return !task(id)["completions"].empty(); })) return Json();
    Json record = task(id);
    EXPECT_EQ(record["completions"].size(), 1u) << id;
    EXPECT_EQ(record["claims"], 1) << id;
    Json body = record["completions"][0];
    EXPECT_EQ(body["leaseId"], record["leaseId"]) << id;
    body.erase("leaseId");
    return body;
  }
  bool requested(const std::string& path) const { return !server.requests(path).empty(); }

  Json health() const { return parseJSON(readFile(data / "agent-health.json")).value_or(Json()); }

  // Whether executor.lock is free, as a restarted executor needs it: a crash
  // leaves it with the runtimes below the dead executor until they are gone.
  bool lockFree() const {
    int fd = open((data / "executor.lock").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
  }

  test::DevCoordinator server;
  test::TemporaryDirectory directory;
  fs::path data = directory / "Executor";
  fs::path logs = directory / "logs";
};

TEST_F(AgentCommandTest, EveryKindOfTaskEndsInOneDeliveredResult) {
  account("reader");
  account("connector", {{"deviceCode", {{"completeAfterMs", 3000}}}});
  account("manual");
  account("auto-yes");
  account("auto-no");
  account("conflict");
  account("failing");
  // The sign-in waits for the user for a while: the pending login is on
  // disk until it ends.
  server.addFault({{"path", "/v1/executor/tasks/connect-1/progress"}, {"delayMs", 2000}});
  server.addFault({{"path", "/v1/executor/tasks/ping-409/send-start"}, {"status", 409}});
  server.addFault({{"path", "/v1/executor/tasks/ping-500/send-start"}, {"status", 500}});
  auto agent = startAgent();

  addOffer(offer("read-1", "read", "reader"));
  Json read = delivered("read-1");
  EXPECT_EQ(read["result"], "succeeded");
  EXPECT_EQ(read["data"]["planType"], "pro");
  EXPECT_TRUE(read.contains("readStartedAt") && read.contains("readCompletedAt"));

  // Its support events reach the coordinator through the upload (events
  // name tasks and accounts by the coordinator's UUIDs).
  const std::string taskID = "0b8a7c1e-2f3d-4e5a-9b6c-7d8e9f0a1b2c";
  Json tracked = offer(taskID, "read", "reader");
  tracked["accountId"] = "5d4c3b2a-1f0e-4d9c-8b7a-695847362514";
  addOffer(tracked);
  EXPECT_EQ(delivered(taskID)["result"], "succeeded");
  auto uploaded = [&](const std::string& code) {
    Json received = server.control("diagnostics");
    for (const auto& event : received["events"])
      if (event.value("code", "") == code && event.value("taskId", "") == taskID) return true;
    return false;
  };
  EXPECT_TRUE(eventually([&] { return uploaded("task_started") && uploaded("task_succeeded"); }));

  addOffer(offer("connect-1", "connect", "connector"));
  fs::path login = data / "pending-logins" / "connect-1.json";
  ASSERT_TRUE(eventually([&] { return fs::exists(login); }));
  Json pending = parseJSON(readFile(login)).value_or(Json());
  EXPECT_EQ(pending["userCode"], "ABCD-EFGH");
  EXPECT_EQ(pending["verificationUrl"], "https://auth.openai.com/codex/device");
  Json connected = delivered("connect-1");
  EXPECT_EQ(connected["result"], "succeeded") << connected;
  EXPECT_FALSE(fs::exists(login));

  addOffer(offer("ping-manual", "ping", "manual"));
  EXPECT_EQ(delivered("ping-manual"), (Json{{"result", "succeeded"}}));
  EXPECT_EQ(calls("manual", "exec"), 1);

  server.control("executor/answers", {{"authorizeSend", {{"allowed", true}}}});
  addOffer(offer("ping-auto-yes", "ping", "auto-yes", true));
  EXPECT_EQ(delivered("ping-auto-yes"), (Json{{"result", "succeeded"}}));
  EXPECT_EQ(calls("auto-yes", "exec"), 1);

  server.control("executor/answers", {{"authorizeSend", {{"allowed", false}, {"errorCode", "quota_not_full"}}}});
  addOffer(offer("ping-auto-no", "ping", "auto-no", true));
  EXPECT_EQ(delivered("ping-auto-no"), (Json{{"result", "skipped"}, {"errorCode", "quota_not_full"}}));
  EXPECT_EQ(calls("auto-no", "exec"), 0);

  addOffer(offer("ping-409", "ping", "conflict"));
  EXPECT_EQ(delivered("ping-409"), (Json{{"result", "failed"}, {"errorCode", "send_not_permitted"}}));
  addOffer(offer("ping-500", "ping", "failing"));
  EXPECT_EQ(delivered("ping-500"), (Json{{"result", "unknown"}, {"errorCode", "send_start_unconfirmed"}}));
  EXPECT_EQ(calls("conflict", "exec") + calls("failing", "exec"), 0);

  // A revoked device still removes what it holds.
  server.control("executor/sync", {{"revoked", true}});
  server.control("wake");
  ASSERT_TRUE(eventually([&] { return health()["state"] == "revoked"; })) << health();
  addOffer(offer("remove-1", "remove", "reader"));
  Json removed = delivered("remove-1");
  EXPECT_EQ(removed["result"], "succeeded") << removed;
  EXPECT_TRUE(removed["cleanupReceipt"].contains("verifiedAt"));
  EXPECT_FALSE(fs::exists(data / "codex" / "reader"));

  agent->signal(SIGTERM);
  EXPECT_EQ(agent->wait(), 0) << agent->err();
}

// kill -9 of the executor at each boundary of a ping; after a restart the
// coordinator gets exactly one result per claimed task, the one restart
// recovery gives, and nothing reaches the runtime twice.
TEST_F(AgentCommandTest, ACrashAtEachBoundaryEndsInOneResultAfterTheRestart) {
  struct Case {
    std::string name;
    bool automatic;
    Json hold;                // the fault that stops the task at the boundary
    std::string reachedPath;  // the request that shows it is there
    Json expected;
    int execs;
  };
  const std::vector<Case> cases = {
      {"preflight",
       true,
       {{"path", "/v1/executor/tasks/preflight/authorize-send"}, {"hold", true}},
       "/v1/executor/tasks/preflight/authorize-send",
       Json{{"result", "skipped"}, {"errorCode", "quota_unavailable"}},
       0},
      {"sending",
       false,
       {{"path", "/v1/executor/tasks/sending/send-start"}, {"hold", true}},
       "/v1/executor/tasks/sending/send-start",
       Json{{"result", "unknown"}, {"errorCode", "executor_restarted"}},
       0},
      {"stored",
       false,
       {{"path", "/v1/executor/tasks/stored/complete"}, {"hold", true}},
       "/v1/executor/tasks/stored/complete",
       Json{{"result", "succeeded"}},
       1},
  };
  server.control("executor/answers", {{"authorizeSend", {{"allowed", true}}}});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    account(c.name);
    server.addFault(c.hold);
    auto agent = startAgent();
    addOffer(offer(c.name, "ping", c.name, c.automatic));
    ASSERT_TRUE(eventually([&] { return requested(c.reachedPath); })) << agent->err();
    agent->crash();
    ASSERT_TRUE(eventually([&] { return lockFree(); }));

    auto restarted = startAgent();
    EXPECT_EQ(delivered(c.name), c.expected);
    EXPECT_EQ(calls(c.name, "exec"), c.execs);
    restarted->signal(SIGTERM);
    EXPECT_EQ(restarted->wait(), 0) << restarted->err();
  }
}

TEST_F(AgentCommandTest, OneExecutorPerDirectoryAndSigtermStopsItCleanly) {
  fs::create_directories(data / "pending-logins");
  std::ofstream(data / "pending-logins" / "x.json") << "{}";
  std::ofstream(data / "pending-logins" / "notes.txt") << "kept";
  auto agent = startAgent("service-agent");
  EXPECT_FALSE(fs::exists(data / "pending-logins" / "x.json"));
  EXPECT_TRUE(fs::exists(data / "pending-logins" / "notes.txt"));
  EXPECT_EQ(agent->out(), "Corvane Swift local executor started.\n");
  ASSERT_TRUE(eventually([&] { return health()["state"] == "online"; })) << health();

  auto second = tool("agent");
  EXPECT_EQ(second.status, 2);
  EXPECT_EQ(second.err, "Corvane: An executor is already running in this directory\n");
  EXPECT_EQ(second.out, "");
  // The first one goes on working.
  size_t syncs = server.control("executor/counts")["syncs"].get<size_t>();
  server.control("wake");
  EXPECT_TRUE(eventually([&] { return server.control("executor/counts")["syncs"].get<size_t>() > syncs; }));
  EXPECT_EQ(health()["state"], "online");

  agent->signal(SIGTERM);
  EXPECT_EQ(agent->wait(), 0) << agent->err();
  EXPECT_EQ(health()["state"], "stopped");
  EXPECT_TRUE(health()["lastErrorCode"].is_null());

  auto again = startAgent();
  ASSERT_TRUE(eventually([&] { return health()["state"] == "online"; })) << health();
  again->signal(SIGINT);
  EXPECT_EQ(again->wait(), 0) << again->err();
  EXPECT_EQ(health()["state"], "stopped");
}

TEST_F(AgentCommandTest, StartUpFailuresLeaveTheReasonInTheHealthFile) {
  TokenVault(data).remove();
  auto missing = tool("agent");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "Corvane: Pairing credentials are missing from the keyring\n") << missing.err;
  EXPECT_EQ(health()["state"], "offline");
  EXPECT_EQ(health()["lastErrorCode"], "startup_failed");

  // A directory of the old development setup is refused before anything is
  // written.
  fs::remove(data / "agent-health.json");
  std::ofstream(data / "state.sqlite3") << "";
  auto legacy = tool("agent");
  EXPECT_EQ(legacy.status, 2);
  EXPECT_EQ(legacy.err, "Corvane: Cannot reuse the local development directory\n");
  EXPECT_FALSE(fs::exists(data / "agent-health.json"));
}

// A revoked pairing is retired only with the executor stopped and the
// coordinator's word that the old device is disabled and cleaned up; then
// the tray app sees an unpaired directory.
TEST_F(AgentCommandTest, PrepareRepairRetiresARevokedPairingOnlyWithTheExecutorStopped) {
  auto agent = startAgent();
  auto running = tool("prepare-repair");
  EXPECT_EQ(running.status, 2);
  EXPECT_EQ(running.err, "Corvane: Stop the background service first\n");
  EXPECT_FALSE(requested("/v1/executor/heartbeat")) << "refused before any request";
  agent->signal(SIGTERM);
  EXPECT_EQ(agent->wait(), 0);

  auto unconfirmed = tool("prepare-repair");
  EXPECT_EQ(unconfirmed.status, 2);
  EXPECT_EQ(unconfirmed.err, "Corvane: The old device is not disabled or credential cleanup is unconfirmed\n");
  EXPECT_TRUE(parseJSON(tool("app-status").out).value_or(Json())["paired"]);

  server.control("executor/sync", {{"revoked", true}, {"cleanupPending", false}});
  auto repaired = tool("prepare-repair");
  EXPECT_EQ(repaired.status, 0) << repaired.err;
  Json status = parseJSON(tool("app-status").out).value_or(Json());
  EXPECT_EQ(status["paired"], false) << status.dump();
}

}  // namespace
}  // namespace corvane
