// The pairing and sign-in commands of the built corvane-mac, driven as the
// app and a person drive them, against the development coordinator on
// loopback and a throwaway keyring.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dev-coordinator/testing/DevCoordinator.h"
#include "executor/state/TokenVault.h"
#include "executor/support/Json.h"
#include "support/RunResult.h"
#include "support/TemporaryDirectory.h"
#include "support/TestKeyring.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

const auto* keyring = ::testing::AddGlobalTestEnvironment(new test::KeyringEnvironment);

const std::string pairedLine =
    "Paired successfully. Run agent or explicitly run install to start the background service.\n";

std::string readFile(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::stringstream contents;
  contents << stream.rdbuf();
  return contents.str();
}

unsigned mode(const fs::path& path) {
  struct stat info {};
  lstat(path.c_str(), &info);
  return info.st_mode & 07777;
}

struct TerminalRun {
  int status = -1;
  std::string output;  // everything the terminal showed
  bool echoWhileTyping = true;
  bool echoAfterwards = false;
};

// Runs the tool on a pseudo-terminal, types line once the prompt has shown and
// reads what the terminal displays until the tool exits.
TerminalRun runInTerminal(const std::vector<std::string>& arguments, const std::string& prompt,
                          const std::string& line) {
  TerminalRun run;
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty failed";
    return run;
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(master);
    login_tty(slave);
    std::vector<std::string> strings = {CORVANE_TOOL_PATH};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool typed = false;
  bool exited = false;
  int status = 0;
  for (;;) {
    if (!typed && run.output.find(prompt) != std::string::npos) {
      // The prompt is written before echo goes off; give the tool a moment.
      for (int i = 0; i < 100; ++i) {
        termios attributes{};
        tcgetattr(slave, &attributes);
        run.echoWhileTyping = attributes.c_lflag & ECHO;
        if (!run.echoWhileTyping) break;
        usleep(10000);
      }
      std::string typedLine = line + "\r";
      if (write(master, typedLine.data(), typedLine.size()) < 0) ADD_FAILURE() << "typing failed";
      typed = true;
    }
    pollfd entry{master, POLLIN, 0};
    // The test holds the terminal open, so the end of the tool's output is
    // its exit, not an end of file.
    if (waitpid(pid, &status, WNOHANG) == pid) {
      exited = true;
      while (poll(&entry, 1, 0) > 0) {
        char buffer[4096];
        ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) break;
        run.output.append(buffer, static_cast<size_t>(got));
      }
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << "the tool did not finish; it showed: " << run.output;
      break;
    }
    if (poll(&entry, 1, 100) <= 0) continue;
    char buffer[4096];
    ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) break;  // EIO once the tool has exited and closed its side
    run.output.append(buffer, static_cast<size_t>(got));
  }
  if (!exited) waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  termios attributes{};
  tcgetattr(slave, &attributes);
  run.echoAfterwards = attributes.c_lflag & ECHO;
  close(slave);
  close(master);
  return run;
}

class PairingCommandsTest : public ::testing::Test {
 protected:
  test::DevCoordinator server;
  test::TemporaryDirectory directory;
  fs::path data = directory / "Executor";

  std::vector<std::string> arguments(const std::string& command) const {
    return {"--url", server.httpOrigin(), "--development-loopback", "--data-dir", data.string(), "--name", "Test Mac",
            command};
  }

  test::RunResult tool(const std::string& command, const std::string& input = "",
                       std::vector<std::string> extra = {}) const {
    auto args = arguments(command);
    args.insert(args.begin(), extra.begin(), extra.end());
    test::RunOptions options;
    options.input = input;
    return test::runProgram(CORVANE_TOOL_PATH, args, options);
  }

  static Json output(const test::RunResult& result) {
    auto json = parseJSON(result.out);
    EXPECT_TRUE(json) << result.out << result.err;
    return json.value_or(Json());
  }

  std::optional<std::string> storedToken() const { return TokenVault(data).get(); }

  // Nothing of a pairing: no coordinator.json, no keyring item.
  void expectUnpaired() const {
    EXPECT_FALSE(fs::exists(fs::symlink_status(data / "coordinator.json")));
    EXPECT_EQ(storedToken(), std::nullopt);
  }

  void expectPaired(const Json& pairing, bool withEmail = true) const {
    auto record = parseJSON(readFile(data / "coordinator.json"));
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, (Json{{"url", server.httpOrigin()},
                             {"deviceId", pairing["deviceId"]},
                             {"email", withEmail ? pairing["email"] : Json("")},
                             {"developmentLoopback", true}}));
    EXPECT_EQ(mode(data / "coordinator.json"), 0600u);
    EXPECT_EQ(storedToken(), pairing["token"].get<std::string>());
    // The token lives in the keyring only.
    for (const auto& entry : fs::recursive_directory_iterator(data)) {
      if (!entry.is_regular_file()) continue;
      EXPECT_EQ(readFile(entry.path()).find(pairing["token"].get<std::string>()), std::string::npos) << entry.path();
    }
  }

  // Exit 2, nothing on standard output, and the message as the last line of
  // standard error (after the prompt of a command that read its input).
  void expectFailure(const test::RunResult& result, const std::string& message) const {
    EXPECT_EQ(result.status, 2);
    std::string line = "Corvane: " + message + "\n";
    EXPECT_TRUE(result.err.ends_with(line) && result.err.find("Corvane: ") == result.err.size() - line.size())
        << result.err;
    EXPECT_EQ(result.out, "");
  }

  Json pairByCode() {
    Json pairing = server.createPairingCode();
    auto result = tool("pair", pairing["code"].get<std::string>() + "\n");
    EXPECT_EQ(result.status, 0) << result.err;
    return pairing;
  }
};

TEST_F(PairingCommandsTest, PairInATerminalDoesNotEchoTheCode) {
  Json pairing = server.createPairingCode();
  std::string code = pairing["code"];
  TerminalRun run = runInTerminal(arguments("pair"), "Enter the pairing code from the iPhone app: ", code);

  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_FALSE(run.echoWhileTyping);
  EXPECT_TRUE(run.echoAfterwards);
  EXPECT_EQ(run.output.find(code), std::string::npos) << run.output;
  EXPECT_NE(
      run.output.find("Paired successfully. Run agent or explicitly run install to start the background service."),
      std::string::npos)
      << run.output;
  expectPaired(pairing);
  EXPECT_EQ(server.requests("/v1/executor/pair")[0]["json"], (Json{{"code", code}, {"name", "Test Mac"}}));
}

TEST_F(PairingCommandsTest, PairReadsThePipeTheSameWayAndTakesAnyDeviceIdentifier) {
  // pair stores the identifier the coordinator gave for the typed code as it
  // is; only pair-poll holds it to the identifier syntax.
  Json pairing = server.createPairingCode({{"deviceId", std::string(129, 'd')}, {"email", nullptr}});
  auto result = tool("pair", "  " + pairing["code"].get<std::string>() + " \r\n");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, pairedLine);
  EXPECT_EQ(result.err, "Enter the pairing code from the iPhone app: \n");
  expectPaired(pairing, false);
}

TEST_F(PairingCommandsTest, PairRefusals) {
  expectFailure(tool("pair", " \n"), "Missing code");
  expectUnpaired();
  Json malformed = server.createPairingCode({{"token", std::string(31, 't')}});
  expectFailure(tool("pair", malformed["code"].get<std::string>() + "\n"), "Invalid device token");
  expectUnpaired();
  expectFailure(tool("pair", "WRONG-CODE\n"), "Coordinator request failed (HTTP 400)");
  expectUnpaired();
  expectFailure(test::runProgram(CORVANE_TOOL_PATH, {"--data-dir", data.string(), "pair"}), "pair requires --url");
  expectFailure(
      test::runProgram(CORVANE_TOOL_PATH, {"--url", server.httpOrigin(), "--data-dir", data.string(), "pair"}),
      "The coordinator requires an HTTPS origin; HTTP loopback is allowed only in explicit local "
      "development mode");

  fs::create_directories(data);
  { std::ofstream(data / "state.sqlite3") << "legacy"; }
  expectFailure(tool("pair", "ANY\n"), "Cannot reuse the local development directory");
  fs::remove(data / "state.sqlite3");

  Json pairing = pairByCode();
  Json another = server.createPairingCode();
  expectFailure(tool("pair", another["code"].get<std::string>() + "\n"),
                "This directory is already paired. Disable the old device in the app and pair using a new directory");
  expectPaired(pairing);
  EXPECT_EQ(server.requests("/v1/executor/pair").size(), 3u);  // the refusals and the empty code sent nothing
}

// The coordinator hands a device's credentials out once (for a typed code, a
// polled approval, or the approval a confirmation makes): a run that could not
// keep them must not ask for them.
TEST_F(PairingCommandsTest, NothingIsRequestedWithoutAWritableKeyring) {
  test::TestKeyring lockedKeyring;
  lockedKeyring.lockDefaultCollection();
  struct Keyring {
    std::string name;
    std::map<std::string, std::optional<std::string>> environment;
  };
  const Keyring keyrings[] = {
      {"no Secret Service", {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}, {"DISPLAY", std::nullopt}}},
      {"locked keyring", {{"DBUS_SESSION_BUS_ADDRESS", lockedKeyring.busAddress()}}},
  };

  std::string code = server.createPairingCode()["code"];
  Json approved = output(tool("pair-start"));
  server.approveMacPairing({{"id", approved["id"]}});
  Json unconfirmed = output(tool("pair-start"));
  std::string session = server.createSession();
  struct Command {
    std::string word;
    std::string input;
    std::string path;
  };
  const Command commands[] = {
      {"pair", code + "\n", "/v1/executor/pair"},
      {"pair-poll", approved["pollToken"].get<std::string>() + "\n", "/v1/mac-pairings/poll"},
      {"pair-confirm", Json{{"token", session}, {"id", unconfirmed["id"]}, {"code", unconfirmed["code"]}}.dump(),
       "/v1/mac-pairings/confirm"},
  };

  for (const auto& keyringCase : keyrings) {
    for (const auto& command : commands) {
      SCOPED_TRACE(keyringCase.name + ", " + command.word);
      test::RunOptions options;
      options.input = command.input;
      options.environment = keyringCase.environment;
      expectFailure(test::runProgram(CORVANE_TOOL_PATH, arguments(command.word), options),
                    "Local secure storage is unavailable");
      EXPECT_TRUE(server.requests(command.path).empty());
      expectUnpaired();
    }
  }

  // Nothing was spent: with the keyring back, the approval is still there to
  // collect and the typed code still pairs (in a directory of its own).
  EXPECT_EQ(output(tool("pair-poll", approved["pollToken"].get<std::string>() + "\n")), (Json{{"status", "paired"}}));
  test::RunOptions typed;
  typed.input = code + "\n";
  auto other = test::runProgram(
      CORVANE_TOOL_PATH,
      {"--url", server.httpOrigin(), "--development-loopback", "--data-dir", (directory / "Other").string(), "pair"},
      typed);
  EXPECT_EQ(other.status, 0) << other.err;
  std::map<std::string, std::string> statuses;
  for (const auto& pairing : server.macPairings()) statuses[pairing["id"]] = pairing["status"];
  EXPECT_EQ(statuses[unconfirmed["id"]], "pending");
}

// Two runs at once on one directory: the second waits for the first and then
// refuses without a request of its own, so that the keyring always holds the
// token of the device coordinator.json names.
TEST_F(PairingCommandsTest, ConcurrentPairingsOnOneDirectoryPairOnce) {
  struct Case {
    std::string command;
    std::string path;
    std::string refusal;
    std::function<std::array<Json, 2>()> offers;  // what the coordinator would hand each run, with its "input"
  };
  const std::vector<Case> cases = {
      {"pair", "/v1/executor/pair",
       "This directory is already paired. Disable the old device in the app and pair using a new directory",
       [&] {
         std::array<Json, 2> offers = {server.createPairingCode(), server.createPairingCode()};
         for (auto& offer : offers) offer["input"] = offer["code"];
         return offers;
       }},
      {"pair-poll", "/v1/mac-pairings/poll",
       "This directory is already connected; finish cleaning up the old connection first",
       [&] {
         std::array<Json, 2> offers;
         for (auto& offer : offers) {
           Json request = output(tool("pair-start"));
           offer = server.approveMacPairing({{"id", request["id"]}});
           offer["input"] = request["pollToken"];
         }
         return offers;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    std::array<Json, 2> offers = c.offers();
    // The first run's answer comes late, so the second starts while the
    // first is between its request and its stored pairing.
    server.addFault({{"path", c.path}, {"delayMs", 3000}});
    test::RunResult first;
    std::thread firstRun([&] { first = tool(c.command, offers[0]["input"].get<std::string>() + "\n"); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (server.requests(c.path).empty() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    test::RunResult second = tool(c.command, offers[1]["input"].get<std::string>() + "\n");
    firstRun.join();

    EXPECT_EQ(first.status, 0) << first.err;
    expectFailure(second, c.refusal);
    EXPECT_EQ(server.requests(c.path).size(), 1u);
    expectPaired(offers[0]);

    server.reset();
    TokenVault(data).remove();
    fs::remove_all(data);
  }
}

TEST_F(PairingCommandsTest, PairStartApproveAndPoll) {
  auto started = tool("pair-start");
  ASSERT_EQ(started.status, 0) << started.err;
  Json request = output(started);
  for (const char* key : {"id", "code", "pollToken", "expiresAt"}) EXPECT_TRUE(request.contains(key)) << key;
  EXPECT_EQ(server.requests("/v1/mac-pairings/start")[0]["json"], (Json{{"name", "Test Mac"}}));
  std::string pollToken = request["pollToken"];

  auto waiting = tool("pair-poll", pollToken + "\n");
  EXPECT_EQ(waiting.status, 0) << waiting.err;
  EXPECT_EQ(output(waiting), (Json{{"status", "pending"}}));
  EXPECT_EQ(waiting.err, "Pairing request: \n");
  expectUnpaired();

  Json approved = server.approveMacPairing({{"id", request["id"]}});
  auto paired = tool("pair-poll", pollToken + "\n");
  EXPECT_EQ(paired.status, 0) << paired.err;
  EXPECT_EQ(output(paired), (Json{{"status", "paired"}}));
  expectPaired(approved);

  const std::string refusal = "This directory is already connected; finish cleaning up the old connection first";
  expectFailure(tool("pair-start"), refusal);
  expectFailure(tool("pair-poll", pollToken + "\n"), refusal);
  EXPECT_EQ(server.requests("/v1/mac-pairings/poll").size(), 2u);
}

TEST_F(PairingCommandsTest, PairPollChecksWhatItWouldStore) {
  Json request = output(tool("pair-start"));
  std::string pollToken = request["pollToken"];
  expectFailure(tool("pair-poll", "\n"), "Missing pollToken");
  EXPECT_TRUE(server.requests("/v1/mac-pairings/poll").empty());

  server.approveMacPairing({{"id", request["id"]}, {"deviceId", std::string(129, 'd')}});
  expectFailure(tool("pair-poll", pollToken + "\n"), "Invalid device identifier");
  expectUnpaired();

  for (const Json& answer : {Json::object(), Json{{"status", 3}}}) {
    server.addFault({{"path", "/v1/mac-pairings/poll"}, {"status", 200}, {"body", answer}});
    auto result = tool("pair-poll", pollToken + "\n");
    EXPECT_EQ(output(result), (Json{{"status", "waiting"}}));
  }
  server.addFault(
      {{"path", "/v1/mac-pairings/poll"}, {"status", 200}, {"body", {{"status", "paired"}, {"deviceId", "d"}}}});
  expectFailure(tool("pair-poll", pollToken + "\n"), "Missing token");
  expectUnpaired();

  fs::create_directories(data);
  { std::ofstream(data / "state.sqlite3") << "legacy"; }
  expectFailure(tool("pair-start"), "This directory is already connected; finish cleaning up the old connection first");
  expectFailure(test::runProgram(CORVANE_TOOL_PATH, {"--data-dir", data.string(), "pair-start"}),
                "Missing service URL");
}

TEST_F(PairingCommandsTest, HttpFailuresAreTextForPairingButAStatusForSignIn) {
  server.addFault({{"path", "/v1/mac-pairings/start"}, {"status", 429}});
  expectFailure(tool("pair-start"), "Coordinator request failed (HTTP 429)");

  server.addFault({{"path", "/v1/auth/email/verify"}, {"status", 429}});
  auto limited = tool("email-verify", R"({"challengeId":"c1","code":"123456"})"
                                      "\n");
  EXPECT_EQ(limited.status, 0) << limited.err;
  EXPECT_EQ(limited.out, prettyJSON({{"authErrorStatus", 429}}));
  EXPECT_EQ(limited.err, "\n");
}

TEST_F(PairingCommandsTest, EmailSignInConfirmsThePairingForPairPoll) {
  auto started = tool("email-start", R"({"email":"owner@example.com"})"
                                     "\n");
  ASSERT_EQ(started.status, 0) << started.err;
  Json challenge = output(started);
  EXPECT_TRUE(challenge.contains("challengeId"));
  EXPECT_EQ(server.requests("/v1/auth/email/start")[0]["json"],
            (Json{{"email", "owner@example.com"}, {"purpose", "login"}, {"language", "en"}}));

  std::string code = server.emailCode("owner@example.com");
  std::string wrongCode = code;
  wrongCode[0] = code[0] == '1' ? '2' : '1';
  auto wrong = tool("email-verify", Json{{"challengeId", challenge["challengeId"]}, {"code", wrongCode}}.dump() + "\n");
  EXPECT_EQ(wrong.status, 0);
  EXPECT_EQ(output(wrong), (Json{{"authErrorStatus", 400}}));

  auto verified = tool("email-verify", Json{{"challengeId", challenge["challengeId"]}, {"code", code}}.dump() + "\n");
  ASSERT_EQ(verified.status, 0) << verified.err;
  std::string session = output(verified)["token"];

  Json request = output(tool("pair-start"));
  auto confirmed =
      tool("pair-confirm", Json{{"token", session}, {"id", request["id"]}, {"code", request["code"]}}.dump());
  ASSERT_EQ(confirmed.status, 0) << confirmed.err;
  EXPECT_EQ(output(confirmed)["status"], "approved");
  auto logout = server.requests("/v1/auth/logout");
  ASSERT_EQ(logout.size(), 1u);
  EXPECT_EQ(logout[0]["headers"]["authorization"], "Bearer " + session);
  EXPECT_EQ(logout[0]["body"], "{}");
  expectUnpaired();  // only pair-poll stores the credentials

  auto paired = tool("pair-poll", request["pollToken"].get<std::string>() + "\n");
  EXPECT_EQ(output(paired), (Json{{"status", "paired"}}));
  EXPECT_EQ(storedToken().has_value(), true);

  expectFailure(tool("email-start", R"({"email":"owner@example.com"})"), "Sign out before connecting another account.");
}

TEST_F(PairingCommandsTest, PairConfirmSucceedsWhenTheLogoutFails) {
  std::string session = server.createSession();
  Json request = output(tool("pair-start"));
  server.addFault({{"path", "/v1/auth/logout"}, {"status", 500}});
  auto confirmed =
      tool("pair-confirm", Json{{"token", session}, {"id", request["id"]}, {"code", request["code"]}}.dump());
  EXPECT_EQ(confirmed.status, 0) << confirmed.err;
  EXPECT_EQ(output(confirmed)["status"], "approved");
  EXPECT_EQ(server.requests("/v1/auth/logout").size(), 1u);
}

TEST_F(PairingCommandsTest, SignInInputRefusals) {
  struct Case {
    std::string command;
    std::string input;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"email-start", "not json", "Invalid JSON"},
      {"email-start", "[1]", "Invalid JSON object"},
      {"email-start", R"({"language":"zh-Hans"})", "Missing email"},
      {"email-start", R"({"email":""})", "Missing email"},
      {"email-verify", R"({"challengeId":"c"})", "Missing code"},
      {"pair-confirm", R"({"id":"i","code":"c"})", "Missing token"},
      {"pair-confirm", R"({"token":"short","id":"i","code":"c"})", "Invalid device token"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command + " " + c.input);
    expectFailure(tool(c.command, c.input + "\n"), c.message);
  }
  test::RunOptions options;
  options.input = R"({"email":"owner@example.com"})";
  auto noUrl = test::runProgram(CORVANE_TOOL_PATH, {"--data-dir", data.string(), "email-start"}, options);
  expectFailure(noUrl, "Local secure storage is unavailable");
  EXPECT_TRUE(server.requests("/v1/auth/email/start").empty());
}

TEST_F(PairingCommandsTest, OutputThatCannotBeWrittenFailsTheRun) {
  // The status the sign-in screens read is output like any other.
  server.addFault({{"path", "/v1/auth/email/verify"}, {"status", 429}});
  test::RunOptions full;
  full.input = R"({"challengeId":"c1","code":"123456"})"
               "\n";
  full.outputFile = "/dev/full";
  auto limited = test::runProgram(CORVANE_TOOL_PATH, arguments("email-verify"), full);
  EXPECT_EQ(limited.status, 2);
  EXPECT_TRUE(limited.err.ends_with("\nCorvane: The command's output could not be written\n")) << limited.err;

  // Started without a standard output, pair still pairs but cannot say so;
  // nothing it opened on the way (keyring connection, sockets, the lock)
  // took the free descriptor and received the text instead.
  Json pairing = server.createPairingCode();
  test::RunOptions closed;
  closed.input = pairing["code"].get<std::string>() + "\n";
  closed.closeOutput = true;
  auto result = test::runProgram(CORVANE_TOOL_PATH, arguments("pair"), closed);
  EXPECT_EQ(result.status, 2);
  EXPECT_TRUE(result.err.ends_with("\nCorvane: The command's output could not be written\n")) << result.err;
  expectPaired(pairing);
  EXPECT_EQ(readFile(data / "executor.lock"), "");
}

TEST_F(PairingCommandsTest, SignOutLeavesAMarkerForTheAgent) {
  expectFailure(tool("sign-out"), "Local secure storage is unavailable");
  EXPECT_FALSE(fs::exists(data / "sign-out.json"));

  Json pairing = pairByCode();
  for (int i = 0; i < 2; ++i) {
    auto result = tool("sign-out");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(output(result), (Json{{"signOutPending", true}}));
  }
  EXPECT_EQ(parseJSON(readFile(data / "sign-out.json")), (Json{{"requested", true}}));
  EXPECT_EQ(mode(data / "sign-out.json"), 0600u);
  expectPaired(pairing);
  EXPECT_TRUE(server.requests("/v1/executor/sign-out").empty());
}

}  // namespace
}  // namespace corvane
