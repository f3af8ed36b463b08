#include "executor/cli/Options.h"

#include <gtest/gtest.h>

#include <fstream>

#include "executor/cli/Commands.h"
#include "executor/support/CVError.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

OptionsContext plainContext() {
  return {fs::path("/opt/build/corvane-mac"), "/home/u", "/work/here", std::string("Studio")};
}

std::string errorOf(const std::vector<std::string>& arguments, const OptionsContext& context = plainContext()) {
  try {
    Options options(arguments, context);
    return "parsed " + std::string(options.command->word);
  } catch (const CVError& error) {
    return error.what();
  }
}

TEST(OptionsTest, DefaultsForAPlainBuild) {
  Options options({"doctor"}, plainContext());
  EXPECT_EQ(options.command, findCommand("doctor"));
  EXPECT_EQ(options.dataDirectory, "/home/u/.local/share/corvane/Executor");
  EXPECT_EQ(options.codex, "codex");
  EXPECT_FALSE(options.explicitCodex);
  EXPECT_FALSE(options.origin);
  EXPECT_EQ(options.name, "Studio");
  EXPECT_FALSE(options.developmentLoopback);
  EXPECT_FALSE(options.renderOnly);

  OptionsContext nameless = plainContext();
  nameless.hostName.reset();
  EXPECT_EQ(Options({"doctor"}, nameless).name, "Mac");
}

TEST(OptionsTest, ValuesAndFlags) {
  Options options({"--url", "https://x.test", "--codex", "/opt/codex", "--name", "Desk", "--development-loopback",
                   "install", "--render-only", "--name", "Last"},
                  plainContext());
  EXPECT_EQ(options.command, findCommand("install"));
  EXPECT_EQ(options.origin, "https://x.test");
  EXPECT_EQ(options.codex, "/opt/codex");
  EXPECT_TRUE(options.explicitCodex);
  EXPECT_EQ(options.name, "Last");  // a repeated value keeps the last one
  EXPECT_TRUE(options.developmentLoopback);
  EXPECT_TRUE(options.renderOnly);
}

TEST(OptionsTest, DataDirectoryForms) {
  struct Case {
    std::string argument;
    fs::path expected;
  };
  const Case cases[] = {
      {"~/x", "/home/u/x"},
      {"~", "/home/u"},
      {"rel/dir/", "/work/here/rel/dir"},
      {"/a/./b/../c", "/a/c"},
      {"../up", "/work/up"},
      {"~user/x", "/work/here/~user/x"},  // only the user's own "~" is expanded
  };
  for (const auto& c : cases)
    EXPECT_EQ(Options({"--data-dir", c.argument, "agent-status"}, plainContext()).dataDirectory, c.expected)
        << c.argument;
}

TEST(OptionsTest, ArgumentErrors) {
  struct Case {
    std::vector<std::string> arguments;
    std::string error;
  };
  const std::string usage =
      "Usage: corvane-mac [--data-dir PATH] pair|prepare-repair|agent|service-agent|install|uninstall|agent-status|"
      "app-status|doctor";
  const Case cases[] = {
      {{}, usage},
      {{"--render-only"}, usage},
      {{"doctor", "--url"}, "Missing value for --url"},
      {{"--data-dir"}, "Missing value for --data-dir"},
      {{"pair", "agent"}, "Specify only one command"},
      {{"pair", "pair"}, "Specify only one command"},
      {{"doctor", "--internal-codex-supervisor"}, "Unknown argument: --internal-codex-supervisor"},
      {{"--verbose", "doctor"}, "Unknown argument: --verbose"},
      {{"Doctor"}, "Unknown argument: Doctor"},
      {{"--url=https://x.test", "doctor"}, "Unknown argument: --url=https://x.test"},
  };
  for (const auto& c : cases) EXPECT_EQ(errorOf(c.arguments), c.error);
  // A value is taken as is, even when it looks like an option or a command.
  EXPECT_EQ(Options({"--name", "pair", "doctor"}, plainContext()).name, "pair");
}

TEST(OptionsTest, HelpAndVersionNeedNoCommandButTheRestMustParse) {
  EXPECT_TRUE(Options({"--help"}, plainContext()).help);
  EXPECT_TRUE(Options({"-h", "pair"}, plainContext()).help);
  EXPECT_TRUE(Options({"--version"}, plainContext()).version);
  EXPECT_FALSE(Options({"doctor"}, plainContext()).help);
  EXPECT_EQ(errorOf({"--help", "--bogus"}), "Unknown argument: --bogus");
  EXPECT_EQ(errorOf({"--version", "--url"}), "Missing value for --url");
  EXPECT_EQ(errorOf({"-help"}), "Unknown argument: -help");
}

TEST(OptionsTest, EveryCommandWordParses) {
  for (const char* word : {"pair",
                           "pair-start",
                           "pair-poll",
                           "pair-confirm",
                           "email-start",
                           "email-verify",
                           "sign-out",
                           "prepare-repair",
                           "agent",
                           "service-agent",
                           "install",
                           "uninstall",
                           "agent-status",
                           "app-status",
                           "doctor",
                           "diagnostics",
                           "diagnostics-setting",
                           "support-report",
                           "prepare-update",
                           "cancel-update"})
    EXPECT_EQ(errorOf({word}), std::string("parsed ") + word);
}

TEST(OptionsTest, PackagedBundleDecidesTheDefaultDirectory) {
  test::TemporaryDirectory temp;
  fs::create_directories(temp / "Corvane.app/Contents/MacOS");
  OptionsContext context{temp / "Corvane.app/Contents/MacOS/corvane-mac", "/home/u", "/", std::nullopt};

  auto writeInfo = [&](const std::string& channel, const std::string& identifier) {
    std::ofstream(temp / "Corvane.app/Contents/Info.plist")
        << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CorvaneBuildChannel</key><string>" << channel
        << "</string><key>CFBundleIdentifier</key><string>" << identifier << "</string></dict></plist>";
  };
  writeInfo("production", "com.corvane.macos");
  EXPECT_EQ(Options({"doctor"}, context).dataDirectory, "/home/u/.local/share/corvane/Production/Executor");
  writeInfo("staging", "com.corvane.macos.staging");
  EXPECT_EQ(Options({"doctor"}, context).dataDirectory, "/home/u/.local/share/corvane/Staging/Executor");
  // An invalid bundle fails even when --data-dir would not need it.
  writeInfo("nightly", "com.corvane.macos");
  EXPECT_EQ(errorOf({"--data-dir", "/tmp/x", "doctor"}, context), "Invalid packaged environment");
  EXPECT_EQ(errorOf({}, context), "Invalid packaged environment");
}

}  // namespace
}  // namespace corvane
