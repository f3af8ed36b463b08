#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "AgentFixture.h"
#include "QuotaDiagnosticRows.h"
#include "executor/agent/QuotaSampler.h"
#include "executor/codex/CodexAdapter.h"
#include "support/ProcessGroups.h"

namespace corvane::test {
namespace {

namespace fs = std::filesystem;

// The sampler reading through the real adapter, the real supervisor and the
// fake runtime, each account scripted through its home.
class QuotaSamplerCodexTest : public AgentFixture {
 protected:
  void SetUp() override {
    fs::create_directories(data);
    fs::create_directories(temporary);
    const char* saved = std::getenv("TMPDIR");
    savedTemporary = saved ? std::optional<std::string>(saved) : std::nullopt;
    setenv("TMPDIR", temporary.c_str(), 1);
    guard = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(guard, 0);
    adapter.emplace(CodexAdapter::Configuration{.directory = data,
                                                .executable = FAKE_CODEX_PATH,
                                                .model = "gpt-5.6-luna",
                                                .guardFD = guard,
                                                .supervisor = fs::path(CORVANE_TOOL_PATH),
                                                .supportEvents = {}});
  }

  void TearDown() override {
    if (fs::exists(data / "codex"))
      for (const auto& home : fs::directory_iterator(data / "codex")) {
        std::ifstream file(home.path() / "fake-codex-invocations.jsonl");
        for (std::string line; std::getline(file, line);) {
          Json invocation = Json::parse(line, nullptr, false);
          if (invocation.contains("processGroup")) recordProcessGroup(invocation["processGroup"].get<pid_t>());
        }
      }
    EXPECT_TRUE(fs::is_empty(temporary)) << "a working directory was left behind";
    if (savedTemporary)
      setenv("TMPDIR", savedTemporary->c_str(), 1);
    else
      unsetenv("TMPDIR");
    close(guard);
  }

  void signIn(const std::string& credential, const Json& account) {
    fs::create_directories(data / "codex" / credential);
    std::ofstream(data / "codex" / credential / "auth.json") << Json{{"account", account}}.dump();
  }
  void signedOut(const std::string& credential) {
    fs::create_directories(data / "codex" / credential);
    std::ofstream(data / "codex" / credential / "fake-codex.json") << "{}";
  }

  TemporaryDirectory root;
  fs::path data = root / "data";
  fs::path temporary = root / "tmp";
  std::optional<std::string> savedTemporary;
  int guard = -1;
  std::optional<CodexAdapter> adapter;
};

Json plan(const std::string& account, const std::string& credential) {
  return Json{{"accountId", account},
              {"credentialId", credential},
              {"bindingVersion", 1},
              {"intervalSeconds", 60},
              {"validUntil", "2099-01-01T00:00:00Z"}};
}

TEST_F(QuotaSamplerCodexTest, ASignedInAccountIsReportedAndASignedOutOneLeavesAnErrorReport) {
  signIn("cred-in", {{"email", "person@example.com"}, {"planType", "pro"}});
  signedOut("cred-out");
  coordinator.control("executor/sync", {{"samplingPlans", {plan("acct-in", "cred-in"), plan("acct-out", "cred-out")}}});
  Agent agent(*client, *journal, hooks(), timer);
  agent.tick();
  QuotaSampler sampler(*adapter);
  sampler.sample(agent);

  Json received = coordinator.control("executor/quota-reports")["received"];
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0]["accountId"], "acct-in");
  EXPECT_EQ(received[0]["data"]["planType"], "pro");
  EXPECT_TRUE(received[0]["data"]["rateLimits"].is_object());
  EXPECT_TRUE(received[0]["data"]["windowStates"].is_object());
  EXPECT_FALSE(received[0]["data"].contains("_resetDiagnostic"));
  EXPECT_FALSE(journal->quotaReport("acct-in"));

  auto error = journal->quotaReport("acct-out");
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["errorCode"], "not_authenticated");

  // What stays for support names no one.
  for (const auto& row : quotaDiagnosticRows(directory / "agent.sqlite3")) {
    EXPECT_EQ(row.value.dump().find("person@example.com"), std::string::npos) << row.reason;
    EXPECT_EQ(row.value.dump().find("\"pro\""), std::string::npos) << row.reason;
  }
}

}  // namespace
}  // namespace corvane::test
