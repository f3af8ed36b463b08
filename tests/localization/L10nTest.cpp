#include "localization/L10n.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace corvane {
namespace {

TEST(L10nTest, ChoosesTheBestSupportedLanguage) {
  struct Case {
    std::vector<std::string> preferences;
    std::string expected;
  };
  const Case cases[] = {
      {{"zh-Hans-CN", "en"}, "zh-Hans"},      {{"fr-FR"}, "en"},      {{}, "en"},
      {{"fr-FR", "zh-Hans"}, "zh-Hans"},  // the first preference that is supported wins
      {{"zh_CN.UTF-8"}, "zh-Hans"},           {{"zh_SG"}, "zh-Hans"}, {{"zh"}, "zh-Hans"},
      {{"zh_TW.UTF-8", "en"}, "en"},          {{"zh-HK"}, "en"},      {{"zh-Hant"}, "en"},
      {{"zh-Hant-CN", "zh-Hans"}, "zh-Hans"}, {{"en_GB"}, "en"},      {{"en-GB", "zh-Hans"}, "en"},
      {{"de_DE@euro", "ZH-hans"}, "zh-Hans"}, {{""}, "en"},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& p : c.preferences) joined += p + ",";
    EXPECT_EQ(L10n::language(c.preferences), c.expected) << joined;
  }
}

TEST(L10nTest, FormatsPositionalPlaceholders) {
  struct Case {
    std::string format;
    std::vector<std::string> arguments;
    std::string expected;
  };
  const Case cases[] = {
      {"Missing %1$@", {"deviceId"}, "Missing deviceId"},
      {"%2$@ before %1$@", {"a", "b"}, "b before a"},
      {"%@ and %@", {"a", "b"}, "a and b"},
      {"100%% of %1$@", {"x"}, "100% of x"},
      {"%1$@%1$@", {"ab"}, "abab"},
      {"%3$@ is missing", {"a"}, " is missing"},
      {"%d stays, %1$@ goes", {"x"}, "%d stays, x goes"},
      {"trailing %", {"x"}, "trailing %"},
      {"%1$@", {"%2$@"}, "%2$@"},  // arguments are not formatted again
  };
  for (const auto& c : cases) EXPECT_EQ(L10n::format(c.format, c.arguments), c.expected) << c.format;
}

TEST(L10nTest, TranslatesAndFallsBackToTheKey) {
  const std::vector<std::string> chinese = {"zh-Hans-CN"};
  EXPECT_EQ(L10n::localized("Specify only one command", {}, chinese), "只能指定一个命令");
  EXPECT_EQ(L10n::localized("Unknown argument: %1$@", {"--x"}, chinese), "未知参数：--x");
  EXPECT_EQ(L10n::localized("Unknown argument: %1$@", {"--x"}, {"en"}), "Unknown argument: --x");
  EXPECT_EQ(L10n::localized("No such key %1$@", {"here"}, chinese), "No such key here");
  // Without arguments a key is not a format: "%" survives as written.
  EXPECT_EQ(L10n::localized("50% done %1$@", {}, chinese), "50% done %1$@");
}

TEST(L10nTest, TextFollowsTheEnvironment) {
  setenv("LANGUAGE", "fr:zh_CN.UTF-8", 1);
  EXPECT_EQ(L10n::text("Operation timed out"), "操作超时");
  setenv("LANGUAGE", "", 1);
  setenv("LC_ALL", "zh_TW.UTF-8", 1);
  EXPECT_EQ(L10n::text("Operation timed out"), "Operation timed out");
  setenv("LC_ALL", "", 1);
}

}  // namespace
}  // namespace corvane
