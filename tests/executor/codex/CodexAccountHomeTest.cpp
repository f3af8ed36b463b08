#include "executor/codex/CodexAccountHome.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "executor/support/Json.h"
#include "support/ErrorOf.h"
#include "support/Files.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::errorOf;
using test::modeOf;
using test::readFile;
using test::TemporaryDirectory;
using test::writeFile;

const std::string fixedConfiguration =
    "cli_auth_credentials_store = \"keyring\"\n"
    "[analytics]\n"
    "enabled = false\n";

class CodexAccountHomeTest : public ::testing::Test {
 protected:
  TemporaryDirectory temp;
  fs::path data = temp / "data";
  CodexAccountHome homes{data};
  fs::path home = data / "codex" / "acct-1";
};

TEST_F(CodexAccountHomeTest, OnlyIdentifiersGetAHome) {
  const std::string refused[] = {"../x", "a/b", "a.b", ".", "..", "", "a b", "é", std::string(129, 'a')};
  for (const auto& id : refused) {
    EXPECT_EQ(errorOf([&] { homes.accountHome(id); }), CVError::runtime("invalid_account")) << id;
    EXPECT_FALSE(fs::exists(data)) << id;  // nothing is created for a refused one
  }
  for (const std::string& id : {std::string("Acct_1-x"), std::string(128, 'z')}) {
    fs::path made = homes.accountHome(id);
    EXPECT_EQ(made, data / "codex" / id);
    EXPECT_EQ(readFile(made / "config.toml"), fixedConfiguration) << id;
  }
}

TEST_F(CodexAccountHomeTest, PreparesPrivateDirectoriesAndTheFixedFile) {
  EXPECT_EQ(fixedConfiguration.size(), 67u);
  EXPECT_EQ(CodexAccountHome::configuration, fixedConfiguration);
  EXPECT_EQ(homes.accountHome("acct-1"), home);
  EXPECT_EQ(modeOf(data / "codex"), 0700u);
  EXPECT_EQ(modeOf(home), 0700u);
  EXPECT_EQ(modeOf(home / "config.toml"), 0600u);
  EXPECT_EQ(readFile(home / "config.toml"), fixedConfiguration);
}

TEST_F(CodexAccountHomeTest, RestoresAFileChangedByAnyoneElse) {
  homes.accountHome("acct-1");
  writeFile(home / "config.toml", "model = \"other\"\n" + std::string(500, '#') + "\n");
  chmod((home / "config.toml").c_str(), 0644);
  chmod(home.c_str(), 0755);
  writeFile(home / "auth-state", "the runtime's own");
  homes.accountHome("acct-1");
  EXPECT_EQ(readFile(home / "config.toml"), fixedConfiguration);
  EXPECT_EQ(modeOf(home / "config.toml"), 0600u);
  EXPECT_EQ(modeOf(home), 0700u);
  EXPECT_EQ(readFile(home / "auth-state"), "the runtime's own");  // the rest of the home is left alone
}

TEST_F(CodexAccountHomeTest, NeverWritesThroughALinkOrIntoSomethingElse) {
  fs::path target = temp / "target.toml";
  writeFile(target, "keep me");
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> plant;
  };
  const Case cases[] = {
      {"link to a file", [&](const fs::path& file) { fs::create_symlink(target, file); }},
      {"dangling link", [&](const fs::path& file) { fs::create_symlink(temp / "nowhere.toml", file); }},
      {"directory", [](const fs::path& file) { fs::create_directory(file); }},
      {"FIFO without a reader", [](const fs::path& file) { mkfifo(file.c_str(), 0600); }},
  };
  for (const auto& c : cases) {
    fs::remove_all(data);
    homes.accountHome("acct-1");
    fs::remove(home / "config.toml");
    c.plant(home / "config.toml");
    EXPECT_EQ(errorOf([&] { homes.accountHome("acct-1"); }), CVError::storage()) << c.name;
    // A link's target is neither written nor created.
    EXPECT_EQ(readFile(target), "keep me") << c.name;
    EXPECT_FALSE(fs::exists(temp / "nowhere.toml")) << c.name;
  }
}

TEST_F(CodexAccountHomeTest, RefusesAHomeOrBaseThatIsALink) {
  fs::path elsewhere = temp / "elsewhere";
  fs::create_directory(elsewhere);
  fs::create_directories(data / "codex");
  fs::create_directory_symlink(elsewhere, home);
  EXPECT_EQ(errorOf([&] { homes.accountHome("acct-1"); }), CVError::storage());
  fs::remove(home);
  fs::remove(data / "codex");
  fs::create_directory_symlink(elsewhere, data / "codex");
  EXPECT_EQ(errorOf([&] { homes.accountHome("acct-1"); }), CVError::storage());
  EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST(CodexAccountHomeSettings, AreTheFixedOverridesInOrder) {
  const std::vector<std::string> expected = {
      "-c", "cli_auth_credentials_store=\"keyring\"",
      "-c", "forced_login_method=\"chatgpt\"",
      "-c", "model_provider=\"corvane-openai\"",
      "-c", "model_reasoning_effort=\"low\"",
      "-c", "approval_policy=\"never\"",
      "-c", "web_search=\"disabled\"",
      "-c", "features.shell_tool=false",
      "-c", "features.unified_exec=false",
      "-c", "features.shell_snapshot=false",
      "-c", "features.hooks=false",
      "-c", "features.apps=false",
      "-c", "features.plugins=false",
      "-c", "features.image_generation=false",
      "-c", "features.tool_suggest=false",
      "-c", "features.multi_agent=false",
      "-c", "features.remote_plugin=false",
      "-c", "features.skill_mcp_dependency_install=false",
      "-c", "project_doc_max_bytes=0",
      "-c", "history.persistence=\"none\"",
      "-c", "analytics.enabled=false",
      "-c", "check_for_update_on_startup=false",
      "-c", "model_providers.corvane-openai.name=\"OpenAI\"",
      "-c", "model_providers.corvane-openai.requires_openai_auth=true",
      "-c", "model_providers.corvane-openai.request_max_retries=0",
      "-c", "model_providers.corvane-openai.stream_max_retries=0",
      "-c", "log_dir=\"/tmp/w/logs\"",
      "-c", "sqlite_home=\"/tmp/w/state\"",
      "-c", "mcp_servers={}",
      "-c", "plugins={}",
  };
  auto arguments = CodexAccountHome::settings("/tmp/w");
  EXPECT_EQ(arguments, expected);
  EXPECT_EQ(arguments.size(), 58u);
  for (const auto& argument : arguments) EXPECT_EQ(argument.find('\\'), std::string::npos) << argument;
  EXPECT_EQ(CodexAccountHome::settings("/tmp/w/"), expected);
}

TEST(CodexAccountHomeSettings, QuoteAWorkingDirectoryAsJSONAndTOMLBoth) {
  struct Case {
    std::string work;
    std::string logDir;  // the argument of override 26
  };
  const Case cases[] = {
      {"/tmp/corvane-codex-8C1D", R"(log_dir="/tmp/corvane-codex-8C1D/logs")"},
      {"/tmp/a\"b", R"(log_dir="/tmp/a\"b/logs")"},
      {"/tmp/a\\b", R"(log_dir="/tmp/a\\b/logs")"},
      {"/tmp/a\nb\tc\rd", R"(log_dir="/tmp/a\nb\tc\rd/logs")"},
      {std::string("/tmp/a\x01\x1f\x7f", 9), R"(log_dir="/tmp/a\u0001\u001f\u007f/logs")"},
      {"/tmp/工作 目录", "log_dir=\"/tmp/工作 目录/logs\""},
  };
  for (const auto& c : cases) {
    auto arguments = CodexAccountHome::settings(c.work);
    ASSERT_EQ(arguments.size(), 58u);
    EXPECT_EQ(arguments[51], c.logDir);
    // The value reads back as the path itself.
    std::string value = arguments[51].substr(std::string("log_dir=").size());
    auto parsed = parseJSON(value);
    ASSERT_TRUE(parsed && parsed->is_string()) << value;
    EXPECT_EQ(parsed->get<std::string>(), c.work + "/logs");
  }
}

TEST(CodexAccountHomeEnvironment, IsExactlyTheFourCopiedVariablesAndTheHome) {
  using Variables = std::map<std::string, std::string>;
  struct Case {
    const char* name;
    Variables own;
    Variables expected;
  };
  const Case cases[] = {
      {"all four set, with others around",
       {{"PATH", "/usr/bin"},
        {"HOME", "/home/u"},
        {"LANG", "zh_CN.UTF-8"},
        {"TMPDIR", "/var/tmp"},
        {"OPENAI_API_KEY", "sk-x"},
        {"CODEX_HOME", "/elsewhere"},
        {"LD_PRELOAD", "/x.so"}},
       {{"PATH", "/usr/bin"},
        {"HOME", "/home/u"},
        {"LANG", "zh_CN.UTF-8"},
        {"TMPDIR", "/var/tmp"},
        {"CODEX_HOME", "/data/codex/a"}}},
      {"TMPDIR unset",
       {{"PATH", "/usr/bin"}, {"HOME", "/home/u"}, {"LANG", "C"}},
       {{"PATH", "/usr/bin"}, {"HOME", "/home/u"}, {"LANG", "C"}, {"CODEX_HOME", "/data/codex/a"}}},
      {"set but empty stays set", {{"LANG", ""}}, {{"LANG", ""}, {"CODEX_HOME", "/data/codex/a"}}},
      {"nothing set", {}, {{"CODEX_HOME", "/data/codex/a"}}},
  };
  for (const auto& c : cases) {
    auto lookup = [&](const char* name) -> std::optional<std::string> {
      auto found = c.own.find(name);
      if (found == c.own.end()) return std::nullopt;
      return found->second;
    };
    EXPECT_EQ(CodexAccountHome::cleanEnvironment("/data/codex/a", lookup), c.expected) << c.name;
  }
}

TEST(CodexAccountHomeEnvironment, ComesFromTheProcessByDefault) {
  auto environment = CodexAccountHome::cleanEnvironment("/data/codex/a");
  EXPECT_EQ(environment.at("CODEX_HOME"), "/data/codex/a");
  EXPECT_EQ(environment.at("LANG"), "C.UTF-8");  // what the test runner sets
  const char* path = std::getenv("PATH");
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(environment.at("PATH"), path);
  for (const auto& [name, value] : environment)
    EXPECT_TRUE(name == "PATH" || name == "HOME" || name == "LANG" || name == "TMPDIR" || name == "CODEX_HOME") << name;
}

}  // namespace
}  // namespace corvane
