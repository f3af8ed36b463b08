#include "platform/SystemInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace corvane::platform {
namespace {

void setOrUnset(const char* name, const char* value) {
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

TEST(SystemInfoTest, PreferredLanguagesComeFromTheLocaleVariables) {
  struct Case {
    const char* language;
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"zh_CN.UTF-8:en", nullptr, nullptr, "C.UTF-8", {"zh_CN.UTF-8", "en"}},
      {"::fr", "", "de_DE.UTF-8", "en_US.UTF-8", {"fr", "de_DE.UTF-8", "en_US.UTF-8"}},
      {nullptr, "POSIX", nullptr, "C", {}},
      {"", nullptr, nullptr, "zh_SG", {"zh_SG"}},
  };
  for (const auto& c : cases) {
    setOrUnset("LANGUAGE", c.language);
    setOrUnset("LC_ALL", c.lcAll);
    setOrUnset("LC_MESSAGES", c.lcMessages);
    setOrUnset("LANG", c.lang);
    EXPECT_EQ(preferredLanguages(), c.expected);
  }
}

TEST(SystemInfoTest, HomeAndExecutable) {
  setenv("HOME", "/somewhere/else", 1);
  EXPECT_EQ(homeDirectory(), "/somewhere/else");
  setenv("HOME", "relative", 1);  // not usable: the password database answers
  EXPECT_TRUE(homeDirectory().is_absolute());
  auto executable = runningExecutable();
  ASSERT_TRUE(executable);
  EXPECT_EQ(executable->filename(), "PlatformTest");
}

TEST(SystemInfoTest, RunningImageNamesTheFileThisTestRuns) {
  auto path = runningImage();
  ASSERT_TRUE(path);
  EXPECT_TRUE(path->is_absolute());
  EXPECT_TRUE(std::filesystem::equivalent(*path, std::filesystem::canonical("/proc/self/exe")));
}

TEST(SystemInfoTest, OperatingSystemVersionIsAlwaysThreeNumbers) {
  struct Case {
    const char* release;
    OperatingSystemVersion expected;
  };
  const Case cases[] = {
      {"6.1.0-18-amd64", {6, 1, 0}},
      {"5.15.153.1-microsoft-standard-WSL2", {5, 15, 153}},
      {"6.8", {6, 8, 0}},
      {"4", {4, 0, 0}},
      {"6.10.0+debian", {6, 10, 0}},
      {"3.2.", {3, 2, 0}},
      {"6..1", {6, 0, 0}},
      {"", {0, 0, 0}},
      {"unknown", {0, 0, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(operatingSystemVersion(c.release), c.expected) << c.release;
  EXPECT_EQ((OperatingSystemVersion{14, 5, 0}.text()), "14.5.0");

  std::string running = operatingSystemVersion().text();
  EXPECT_EQ(std::count(running.begin(), running.end(), '.'), 2) << running;
  EXPECT_NE(running, "0.0.0");
}

}  // namespace
}  // namespace corvane::platform
