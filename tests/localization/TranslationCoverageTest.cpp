// Every English key the code passes to L10n must have a Simplified Chinese
// entry with the same placeholders, so a new message cannot ship untranslated.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "localization/StringsTable.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::stringstream text;
  text << stream.rdbuf();
  return text.str();
}

StringsTable table(const std::string& language) {
  return StringsTable::parse(readFile(fs::path(CORVANE_SOURCE_DIR) / "src/localization/strings" /
                                      (language + ".lproj") / "Localizable.strings"));
}

// Keys as the code writes them: the string literal right after the call. A
// literal that clang-format has broken across lines ("a " "b") is one key, as
// it is to the compiler.
std::set<std::string> keysUsedInCode() {
  static const std::regex call(R"re(L10n::(?:text|localized|key)\(\s*((?:"(?:[^"\\]|\\.)*"\s*)+))re");
  static const std::regex literal(R"re("((?:[^"\\]|\\.)*)")re");
  std::set<std::string> keys;
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(CORVANE_SOURCE_DIR) / "src")) {
    auto extension = entry.path().extension();
    if (extension != ".cpp" && extension != ".h") continue;
    std::string text = readFile(entry.path());
    for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
      std::string literals = (*it)[1];
      std::string key;
      for (std::sregex_iterator part(literals.begin(), literals.end(), literal); part != end; ++part) key += (*part)[1];
      // Undo the C++ escapes the keys use.
      key = std::regex_replace(key, std::regex(R"(\\\")"), "\"");
      key = std::regex_replace(key, std::regex(R"(\\n)"), "\n");
      keys.insert(key);
    }
  }
  return keys;
}

std::multiset<std::string> placeholders(const std::string& text) {
  static const std::regex placeholder(R"(%(?:\d+\$)?@)");
  std::multiset<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), placeholder), end; it != end; ++it) found.insert(it->str());
  return found;
}

TEST(TranslationCoverageTest, BothTablesParse) {
  EXPECT_NO_THROW(table("en"));
  EXPECT_NO_THROW(table("zh-Hans"));
}

TEST(TranslationCoverageTest, EveryKeyInTheCodeHasAChineseEntry) {
  auto chinese = table("zh-Hans");
  auto keys = keysUsedInCode();
  EXPECT_GT(keys.size(), 30u) << "the key scan found almost nothing; has the call syntax changed?";
  for (const auto& key : keys) {
    auto translation = chinese.find(key);
    if (!translation) {
      ADD_FAILURE() << "no zh-Hans entry for \"" << key << "\"";
      continue;
    }
    EXPECT_EQ(placeholders(std::string(*translation)), placeholders(key)) << key;
  }
}

// A text whose English changed takes its key with it; the old entry left
// behind would be a translation nothing shows.
TEST(TranslationCoverageTest, EveryEntryIsUsedByTheCode) {
  auto keys = keysUsedInCode();
  for (const std::string language : {"en", "zh-Hans"}) {
    StringsTable translations = table(language);
    for (const auto& entry : translations.entries())
      EXPECT_TRUE(keys.count(entry.first)) << language << " entry \"" << entry.first << "\" is used by no code";
  }
}

// The computer is a Linux desktop: a text that sends the user to a macOS
// facility names the Linux one instead (the table in src/localization/README.md).
TEST(TranslationCoverageTest, EnglishTextsNameTheFacilitiesOfThisComputer) {
  static const std::regex macWords(R"(\b(keychain|finder|system (settings|preferences)|login items?|menu bar)\b)",
                                   std::regex::icase);
  for (const auto& key : keysUsedInCode()) EXPECT_FALSE(std::regex_search(key, macWords)) << key;
}

}  // namespace
}  // namespace corvane
