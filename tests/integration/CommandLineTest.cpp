// corvane-mac as the app and a person see it: exit status, the one line on
// standard error, nothing on standard output, and what lands on disk.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "executor/cli/Commands.h"
#include "executor/cli/Options.h"
#include "support/RunResult.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::RunOptions;
using test::RunResult;
using test::TemporaryDirectory;

const fs::path tool = CORVANE_TOOL_PATH;
const std::string usage =
    "Corvane: Usage: corvane-mac [--data-dir PATH] pair|prepare-repair|agent|service-agent|install|uninstall|"
    "agent-status|app-status|doctor\n";

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  lstat(path.c_str(), &info);
  return info.st_mode & 07777;
}

RunResult run(const std::vector<std::string>& arguments, const fs::path& home, const fs::path& program = tool) {
  RunOptions options;
  options.environment["HOME"] = home.string();
  return test::runProgram(program, arguments, options);
}

class CommandLineTest : public ::testing::Test {
 protected:
  TemporaryDirectory home;
};

TEST_F(CommandLineTest, ArgumentErrorsExitWithOneLine) {
  struct Case {
    std::vector<std::string> arguments;
    std::string err;
  };
  const Case cases[] = {
      {{}, usage},
      {{"--url"}, "Corvane: Missing value for --url\n"},
      {{"doctor", "--url"}, "Corvane: Missing value for --url\n"},
      {{"pair", "agent"}, "Corvane: Specify only one command\n"},
      {{"doctor", "--internal-codex-supervisor"}, "Corvane: Unknown argument: --internal-codex-supervisor\n"},
      {{"--bogus"}, "Corvane: Unknown argument: --bogus\n"},
  };
  for (const auto& c : cases) {
    RunResult result = run(c.arguments, home.path());
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
  }
  EXPECT_FALSE(fs::exists(home / ".local")) << "argument errors must not touch the data directory";
}

TEST_F(CommandLineTest, TextsFollowTheUsersLanguage) {
  RunOptions options;
  options.environment["HOME"] = home.path().string();
  options.environment["LANGUAGE"] = "zh_CN.UTF-8";
  RunResult chinese = test::runProgram(tool, {}, options);
  EXPECT_EQ(chinese.status, 2);
  EXPECT_EQ(chinese.err.rfind("Corvane: 用法：corvane-mac", 0), 0u) << chinese.err;

  options.environment["LANGUAGE"] = "zh_TW.UTF-8";
  options.environment["LANG"] = "zh_TW.UTF-8";
  EXPECT_EQ(test::runProgram(tool, {}, options).err, usage);
}

TEST_F(CommandLineTest, PreparesAPrivateCanonicalDirectory) {
  // Started with a wide file mask, the tool still creates everything private.
  mode_t old = umask(0);
  RunResult result = run({"--data-dir", "~/nested/x", "agent-status"}, home.path());
  umask(old);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(fs::is_directory(home / "nested/x"));
  EXPECT_EQ(modeOf(home / "nested/x"), 0700u);
  EXPECT_EQ(modeOf(home / "nested"), 0700u);

  fs::create_directory_symlink(home / "nested/x", home / "link");
  result = run({"--data-dir", (home / "link").string(), "doctor"}, home.path());
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Corvane: Local secure storage is unavailable\n");
}

TEST_F(CommandLineTest, ReadOnlyCommandsNeverCreateTheDirectory) {
  for (const char* command : {"app-status", "diagnostics", "diagnostics-setting", "support-report"}) {
    run({"--data-dir", (home / "absent").string(), command}, home.path());
    EXPECT_FALSE(fs::exists(home / "absent")) << command;
  }
}

// Only the command decides whether a coordinator failure is reported as a
// status for the tray app's sign-in screens: a device named after such a
// command still sees its pairing request fail. Nothing listens on port 1.
TEST_F(CommandLineTest, OnlyTheSignInCommandsReportAFailureAsAStatus) {
  const std::string data = (home / "data").string();
  const std::vector<std::string> dead = {"--url", "http://127.0.0.1:1", "--development-loopback", "--data-dir", data};
  for (const char* name : {"email-start", "email-verify", "pair-confirm"}) {
    std::vector<std::string> arguments = {"--name", name};
    arguments.insert(arguments.end(), dead.begin(), dead.end());
    arguments.push_back("pair-start");
    RunResult result = run(arguments, home.path());
    EXPECT_EQ(result.status, 2) << name;
    EXPECT_EQ(result.err, "Corvane: Coordinator request failed\n") << name;
    EXPECT_EQ(result.out, "") << name;
  }

  std::vector<std::string> signIn = dead;
  signIn.push_back("email-start");
  RunOptions options;
  options.environment["HOME"] = home.path().string();
  options.input = R"({"email":"owner@example.com"})"
                  "\n";
  RunResult result = test::runProgram(tool, signIn, options);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "{\n  \"authErrorStatus\": 0\n}\n");
}

TEST_F(CommandLineTest, CommandsNotYetBuiltFailInsteadOfPretending) {
  RunResult result = run({"--data-dir", (home / "d").string(), "prepare-repair"}, home.path());
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.rfind("Corvane: ", 0), 0u);
}

TEST_F(CommandLineTest, HelpAndVersionGoToStandardOutput) {
  RunResult help = run({"--help"}, home.path());
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("Corvane times the Codex usage windows of your ChatGPT accounts;", 0), 0u) << help.out;
  for (const auto& command : commands()) {
    std::string row = "  " + std::string(command.word) + " ";
    size_t at = help.out.find(row);
    ASSERT_NE(at, std::string::npos) << command.word;
    std::string line = help.out.substr(at, help.out.find('\n', at) - at);
    EXPECT_NE(line.find(std::string(command.summary)), std::string::npos) << line;
    EXPECT_EQ(line.ends_with("(not in this version yet)"), !isAvailable(command)) << line;
  }
  for (const auto& option : optionTable()) EXPECT_NE(help.out.find(std::string(option.name)), std::string::npos);
  EXPECT_NE(help.out.find("  -h, --help "), std::string::npos);
  // The build's own bundle decides the channel's directory.
  std::string last = help.out.substr(help.out.rfind('\n', help.out.size() - 2) + 1);
  EXPECT_EQ(last.rfind("Data directory: " + (home / ".local/share/corvane/").string(), 0), 0u) << last;
  EXPECT_TRUE(last.ends_with("/Executor\n")) << last;
  EXPECT_FALSE(fs::exists(home / ".local")) << "the help must not create the data directory";

  // The same help wherever the flag stands, a command beside it included;
  // --data-dir changes the directory it names.
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"-h"}, {"pair", "--help"}, {"--url", "https://x.test", "-h", "agent"}})
    EXPECT_EQ(run(arguments, home.path()).out, help.out);
  EXPECT_TRUE(run({"--data-dir", "~/other", "--help"}, home.path())
                  .out.ends_with("\nData directory: " + (home / "other").string() + "\n"));
  EXPECT_FALSE(fs::exists(home / "other"));

  RunResult version = run({"--version"}, home.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "corvane-mac " CORVANE_VERSION " (build " CORVANE_BUILD ")\n");
  EXPECT_EQ(version.err, "");
}

TEST_F(CommandLineTest, HelpAndVersionAreTranslated) {
  RunOptions options;
  options.environment = {{"HOME", home.path().string()}, {"LANGUAGE", "zh_CN.UTF-8"}};
  RunResult help = test::runProgram(tool, {"--help"}, options);
  EXPECT_EQ(help.status, 0);
  for (const char* text : {"用法：corvane-mac [选项] 命令", "  --data-dir 路径 ", "使用此数据目录代替默认目录",
                           "运行后台执行器，直到它被停止\n", "\n数据目录："})
    EXPECT_NE(help.out.find(text), std::string::npos) << text << "\n" << help.out;
  EXPECT_EQ(test::runProgram(tool, {"--version"}, options).out,
            "corvane-mac " CORVANE_VERSION "（构建 " CORVANE_BUILD "）\n");
}

TEST_F(CommandLineTest, OutputThatCannotBeWrittenIsAFailure) {
  struct Case {
    std::string name;
    std::vector<std::string> arguments;
    bool closed;  // standard output closed rather than a full device
  };
  const std::string data = (home / "d").string();
  const Case cases[] = {
      {"JSON to a full device", {"--data-dir", data, "prepare-update"}, false},
      {"JSON to a closed descriptor", {"--data-dir", data, "cancel-update"}, true},
      {"help to a full device", {"--help"}, false},
      {"version to a closed descriptor", {"--version"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunOptions options;
    options.environment["HOME"] = home.path().string();
    if (c.closed)
      options.closeOutput = true;
    else
      options.outputFile = "/dev/full";
    RunResult result = test::runProgram(tool, c.arguments, options);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "Corvane: The command's output could not be written\n");
  }
}

class BundleCopyTest : public CommandLineTest {
 protected:
  // A bundle as it ships: the tool and its string tables.
  void SetUp() override {
    fs::create_directories(bundle / "Contents/MacOS");
    fs::copy_file(tool, copy);
    fs::create_directories(bundle / "Contents/Resources");
    fs::copy(tables(), bundle / "Contents/Resources" / tables().filename(), fs::copy_options::recursive);
  }
  static fs::path tables() {
    return fs::path(tool).parent_path().parent_path() / "Resources/CorvaneMac_CorvaneLocalization.bundle";
  }
  void writeInfo(const std::string& channel, const std::string& identifier) {
    std::ofstream(bundle / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>CFBundleIdentifier</key><string>" << identifier << "</string>"
        << "<key>CorvaneBuildChannel</key><string>" << channel << "</string></dict></plist>\n";
  }

  TemporaryDirectory apps;
  fs::path bundle = apps / "Corvane.app";
  fs::path copy = bundle / "Contents/MacOS/corvane-mac";
};

TEST_F(BundleCopyTest, InvalidChannelFailsEveryCommand) {
  writeInfo("beta", "com.corvane.macos");
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"app-status"}, {"doctor"}, {"--data-dir", "/tmp/elsewhere", "agent-status"}, {}}) {
    RunResult result = run(arguments, home.path(), copy);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "Corvane: Invalid packaged environment\n");
  }
  EXPECT_FALSE(fs::exists(home / ".local"));
}

TEST_F(BundleCopyTest, ChannelPicksTheDefaultDataDirectoryUnderTheHomeAlone) {
  // The tray app starts the tool with PATH and HOME only; a person's shell
  // may have the XDG variables set. Both must land in one directory.
  RunOptions desktop;
  desktop.environment = {{"HOME", home.path().string()},
                         {"XDG_DATA_HOME", (home / "xdg-data").string()},
                         {"XDG_STATE_HOME", (home / "xdg-state").string()}};
  writeInfo("production", "com.corvane.macos");
  test::runProgram(copy, {"agent-status"}, desktop);
  EXPECT_TRUE(fs::is_directory(home / ".local/share/corvane/Production/Executor"));
  writeInfo("staging", "com.corvane.macos.staging");
  run({"agent-status"}, home.path(), copy);
  EXPECT_TRUE(fs::is_directory(home / ".local/share/corvane/Staging/Executor"));

  // A plain build, outside any bundle.
  fs::create_directories(apps / "plain");
  fs::copy_file(tool, apps / "plain/corvane-mac");
  fs::copy(tables(), apps / "plain" / tables().filename(), fs::copy_options::recursive);
  run({"agent-status"}, home.path(), apps / "plain/corvane-mac");
  EXPECT_TRUE(fs::is_directory(home / ".local/share/corvane/Executor"));
  EXPECT_FALSE(fs::exists(home / "xdg-data"));
  EXPECT_FALSE(fs::exists(home / "Library"));
}

}  // namespace
}  // namespace corvane
