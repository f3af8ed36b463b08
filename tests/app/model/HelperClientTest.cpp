#include "app/model/HelperClient.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>

#include "app/model/HelperError.h"
#include "app/model/ModelTesting.h"
#include "platform/SystemInfo.h"

namespace corvane::test {
namespace {

using app::HelperClient;
using app::HelperError;
using nlohmann::json;

HelperError::Kind failureOf(QCoro::Task<std::string> task) {
  try {
    finish(std::move(task));
  } catch (const HelperError& error) {
    return error.kind();
  }
  ADD_FAILURE() << "the run succeeded";
  return HelperError::Kind::failed;
}

TEST(HelperClientTest, InputLimitsAreCheckedBeforeAnyChildStarts) {
  struct Case {
    std::string command;
    std::size_t bytes;
    bool accepted;
  } cases[] = {
      {"support-report", 8192, true},
      {"support-report", 8193, false},
      {"pair-poll", 512, true},
      {"pair-poll", 513, false},
  };
  for (const auto& c : cases) {
    StandInTool tool;
    tool.script({{c.command, {{"stdout", "{}"}}}});
    HelperClient client(tool.executable());
    std::vector<std::string> arguments{c.command};
    auto run = client.run(arguments, std::string(c.bytes, 'a'));
    if (c.accepted) {
      EXPECT_EQ(finish(std::move(run)), "{}") << c.command << " " << c.bytes;
      ASSERT_EQ(tool.calls().size(), 1u);
      EXPECT_EQ(tool.calls()[0]["input"], std::string(c.bytes, 'a') + "\n");
    } else {
      EXPECT_EQ(failureOf(std::move(run)), HelperError::Kind::failed) << c.command << " " << c.bytes;
      EXPECT_TRUE(tool.calls().empty()) << c.command << " " << c.bytes;
    }
  }
}

TEST(HelperClientTest, AMissingOrNonExecutableToolIsUnavailable) {
  TemporaryDirectory directory;
  std::ofstream(directory / "corvane-mac") << "#!/bin/sh\n";
  chmod((directory / "corvane-mac").c_str(), 0644);
  for (const auto& path : {directory / "missing", directory / "corvane-mac", directory.path()}) {
    HelperClient client(path);
    std::vector<std::string> arguments{"app-status"};
    EXPECT_EQ(failureOf(client.run(arguments, std::nullopt)), HelperError::Kind::unavailable) << path;
  }
  EXPECT_EQ(HelperError(HelperError::Kind::unavailable).description(),
            "The bundled executor is unavailable. Reinstall Corvane.");
}

TEST(HelperClientTest, AChildIgnoringTerminationIsKilledAfterTheTimeout) {
  StandInTool tool;
  tool.script({{"app-status", {{"sleep", 600}, {"ignoreTerm", true}}}});
  HelperClient client(tool.executable());
  std::vector<std::string> arguments{"app-status"};
  EXPECT_EQ(failureOf(client.run(arguments, std::nullopt, 0.5)), HelperError::Kind::timedOut);
  ASSERT_EQ(tool.calls().size(), 1u);
  pid_t pid = tool.calls()[0]["pid"];
  // Killed and reaped before the run returned: the identifier names nothing.
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST(HelperClientTest, OutcomesOfAFinishedChild) {
  struct Case {
    const char* name;
    json answer;
    std::optional<HelperError> error;  // nothing: the output is returned
  } cases[] = {
      {"exit 2 after valid JSON",
       {{"stdout", "{\"paired\":true}"}, {"stderr", "Corvane: no"}, {"exit", 2}},
       HelperError(HelperError::Kind::failed)},
      {"auth 429", {{"stdout", "{\"authErrorStatus\": 429}"}}, HelperError::authentication(429)},
      {"auth 0", {{"stdout", "{\"authErrorStatus\": 0}"}}, HelperError::authentication(0)},
      {"auth null", {{"stdout", "{\"authErrorStatus\": null}"}}, std::nullopt},
      {"auth as text", {{"stdout", "{\"authErrorStatus\": \"429\"}"}}, std::nullopt},
      {"not JSON", {{"stdout", "hello"}}, std::nullopt},
      {"exits before reading its input", {{"stdout", "{}"}, {"skipInput", true}}, std::nullopt},
  };
  for (const auto& c : cases) {
    StandInTool tool;
    tool.script({{"email-start", c.answer}});
    HelperClient client(tool.executable());
    std::vector<std::string> arguments{"email-start", "--url", "https://example.test"};
    auto run = client.run(arguments, std::string(512, 'i'));
    if (c.error) {
      try {
        finish(std::move(run));
        ADD_FAILURE() << c.name << ": no failure";
      } catch (const HelperError& error) {
        EXPECT_EQ(error, *c.error) << c.name;
      }
    } else {
      EXPECT_EQ(finish(std::move(run)), c.answer["stdout"].get<std::string>()) << c.name;
    }
  }
}

TEST(HelperClientTest, TheChildGetsOnlyPathHomeAndTheSessionBus) {
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
  setenv("LD_PRELOAD", "", 1);
  setenv("CORVANE_SECRET", "not for the tool", 1);
  StandInTool tool;
  tool.script({{"sign-out", {{"stdout", "{}"}}}});
  HelperClient client(tool.executable());
  std::vector<std::string> arguments{"sign-out"};
  finish(client.run(arguments, std::nullopt));
  ASSERT_EQ(tool.calls().size(), 1u);
  json expected = {{"PATH", "/usr/bin:/bin:/usr/sbin:/sbin"},
                   {"HOME", platform::homeDirectory().string()},
                   {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}};
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) expected["XDG_RUNTIME_DIR"] = runtime;
  unsetenv("CORVANE_SECRET");
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  EXPECT_EQ(tool.calls()[0]["environment"], expected);
  EXPECT_EQ(tool.calls()[0]["input"], "");
}

TEST(HelperClientTest, OutputIsCutAt64KiBSoTheCutStatusDoesNotDecode) {
  StandInTool tool;
  tool.script(
      {{"diagnostics", {{"repeat", 70 * 1024}}},
       {"app-status",
        {{"stdout", "{\"paired\":true,\"codexAvailable\":true,\"email\":\"" + std::string(70 * 1024, 'e') + "\"}"}}}});
  HelperClient client(tool.executable());
  std::vector<std::string> arguments{"diagnostics"};
  EXPECT_EQ(finish(client.run(arguments, std::nullopt)), std::string(65536, 'x'));
  try {
    finish(client.snapshot());
    ADD_FAILURE() << "the cut status decoded";
  } catch (const HelperError& error) {
    EXPECT_EQ(error.kind(), HelperError::Kind::invalidResponse);
    EXPECT_EQ(error.description(), "Cannot read executor status. Reopen the app.");
  }
}

TEST(HelperClientTest, EveryFailureHasItsMessage) {
  struct Case {
    HelperError error;
    const char* message;
  } cases[] = {
      {HelperError(HelperError::Kind::timedOut), "The executor timed out. Try again later."},
      {HelperError(HelperError::Kind::failed),
       "The operation did not finish. Check your network and unlock the login keyring. For pairing, generate a new "
       "code and try again."},
      {HelperError::authentication(400), "Check your email or verification code. The code may have expired."},
      {HelperError::authentication(401), "Sign-in confirmation expired or this Mac was linked elsewhere. Start again."},
      {HelperError::authentication(409), "Sign-in confirmation expired or this Mac was linked elsewhere. Start again."},
      {HelperError::authentication(429), "Too many requests. Wait a moment before requesting another code."},
      {HelperError::authentication(0), "Cannot reach the sign-in service. Check your connection and try again."},
      {HelperError::authentication(500), "Cannot reach the sign-in service. Check your connection and try again."},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.description(), c.message);
}

}  // namespace
}  // namespace corvane::test
