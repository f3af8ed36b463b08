// What a Chinese-speaking user sees when corvane-mac refuses a command: the
// one line on standard error, translated, for failures that need neither a
// network nor a keyring.

#include <gtest/gtest.h>

#include "support/RunResult.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

using test::RunOptions;
using test::RunResult;
using test::TemporaryDirectory;

// Nothing listens on port 1, and every case below fails before connecting.
const std::string loopback = "http://127.0.0.1:1";

TEST(LocalizedMessagesTest, RefusalsReadInChinese) {
  TemporaryDirectory home;
  const std::string data = (home / "data").string();
  struct Case {
    std::vector<std::string> arguments;
    std::string input;
    std::string err;
  };
  const Case cases[] = {
      {{},
       "",
       "Corvane: 用法：corvane-mac [--data-dir 路径] "
       "pair|prepare-repair|agent|service-agent|install|uninstall|agent-status|app-status|doctor\n"},
      {{"--bogus"}, "", "Corvane: 未知参数：--bogus\n"},
      {{"doctor", "--url"}, "", "Corvane: 选项 --url 缺少参数值\n"},
      {{"--data-dir", data, "pair"}, "", "Corvane: pair 命令需要 --url 选项\n"},
      {{"--data-dir", data, "--url", loopback, "pair"},
       "",
       "Corvane: 协调服务地址必须使用 HTTPS；只有在显式启用的本地开发模式下才允许使用 HTTP 回环地址\n"},
      {{"--data-dir", data, "pair-start"}, "", "Corvane: 缺少服务地址\n"},
      // A sign-in input without its e-mail: the quoted name, no stray space.
      {{"--data-dir", data, "--url", loopback, "--development-loopback", "email-start"},
       "{}\n",
       "Corvane: 缺少“email”\n"},
      {{"--data-dir", data, "--url", loopback, "--development-loopback", "email-verify"},
       "not json\n",
       "Corvane: 无效的 JSON\n"},
  };
  for (const auto& c : cases) {
    RunOptions options;
    options.input = c.input;
    options.environment = {{"HOME", home.path().string()},
                           {"LANGUAGE", "zh_CN.UTF-8"},
                           {"LC_ALL", std::nullopt},
                           {"LC_MESSAGES", std::nullopt},
                           {"LANG", std::nullopt}};
    RunResult result = test::runProgram(CORVANE_TOOL_PATH, c.arguments, options);
    std::string command;
    for (const auto& argument : c.arguments) command += argument + " ";
    EXPECT_EQ(result.status, 2) << command;
    // A command that reads standard input ends the silent read with a line
    // break of its own; the message is the line after it.
    std::string err = result.err;
    if (!c.input.empty() && err.starts_with('\n')) err.erase(0, 1);
    EXPECT_EQ(err, c.err) << command;
    EXPECT_EQ(result.out, "") << command;
  }
}

}  // namespace
}  // namespace corvane
