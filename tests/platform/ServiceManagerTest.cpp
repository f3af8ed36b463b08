#include "platform/ServiceManager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "support/ServiceManagerStandIn.h"

namespace corvane::platform {
namespace {

TEST(ServiceManagerTest, QuotesEveryCharacterTheManagerWouldInterpret) {
  const std::pair<std::string, std::string> cases[] = {
      {"/usr/bin/corvane-mac", R"("/usr/bin/corvane-mac")"},
      {"/home/a b/Corvane.app", R"("/home/a b/Corvane.app")"},
      {"/tmp/100%", R"("/tmp/100%%")"},
      {"/tmp/$HOME", R"("/tmp/$$HOME")"},
      {R"(/tmp/a"b\c)", R"("/tmp/a\"b\\c")"},
      {"/tmp/line\nbreak\t\x7f", R"("/tmp/line\x0abreak\x09\x7f")"},
      {"/tmp/\xe4\xb8\xad", "\"/tmp/\xe4\xb8\xad\""},
      {"", R"("")"},
  };
  for (const auto& [word, quoted] : cases) EXPECT_EQ(quotedUnitWord(word), quoted) << word;
  EXPECT_EQ(quotedUnitProgram("/tmp/$HOME/100%/a\"b"), R"("/tmp/$HOME/100%%/a\"b")");
}

TEST(ServiceManagerTest, RunsTheUserManagerWithTheVerbsItNeeds) {
  test::ServiceManagerStandIn standIn;
  ServiceManager manager = standIn.manager();
  std::filesystem::create_directories(standIn.unitFolder());
  std::ofstream(standIn.unitFolder() / "x.service") << "[Service]\nExecStart=/bin/true\n";

  EXPECT_TRUE(manager.reload());
  EXPECT_FALSE(manager.isEnabled("x.service"));
  EXPECT_FALSE(manager.isActive("x.service"));
  EXPECT_TRUE(manager.enableNow("x.service"));
  EXPECT_TRUE(manager.isEnabled("x.service"));
  EXPECT_TRUE(manager.isActive("x.service"));
  EXPECT_TRUE(manager.disableNow("x.service"));
  EXPECT_FALSE(manager.isActive("x.service"));
  EXPECT_EQ(standIn.calls(), (std::vector<std::string>{
                                 "--user daemon-reload",
                                 "--user is-enabled --quiet x.service",
                                 "--user is-active --quiet x.service",
                                 "--user enable --now --no-block x.service",
                                 "--user is-enabled --quiet x.service",
                                 "--user is-active --quiet x.service",
                                 "--user disable --now x.service",
                                 "--user is-active --quiet x.service",
                             }));

  standIn.refuse("daemon-reload");
  EXPECT_FALSE(manager.reload());
  EXPECT_FALSE(manager.enableNow("missing.service"));
}

TEST(ServiceManagerTest, AProgramThatCannotStartIsAFailure) {
  ServiceManager manager("/nonexistent/systemctl", {});
  EXPECT_FALSE(manager.reload());
  EXPECT_FALSE(manager.isActive("x.service"));
}

TEST(ServiceManagerTest, TheUnitFolderFollowsTheConfigurationHome) {
  const char* saved = std::getenv("XDG_CONFIG_HOME");
  std::string restore = saved ? saved : "";
  setenv("XDG_CONFIG_HOME", "/tmp/config", 1);
  EXPECT_EQ(userUnitFolder(), "/tmp/config/systemd/user");
  setenv("XDG_CONFIG_HOME", "relative/config", 1);  // not absolute: ignored, as the manager does
  EXPECT_EQ(userUnitFolder().filename(), "user");
  EXPECT_NE(userUnitFolder().string().find("/.config/systemd/user"), std::string::npos);
  if (saved)
    setenv("XDG_CONFIG_HOME", restore.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace corvane::platform
