// The Simplified Chinese table keeps the project's conventions and terms (see
// src/localization/README.md), so a text added later reads like the rest.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "localization/StringsTable.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

StringsTable chineseTable() {
  std::ifstream stream(fs::path(CORVANE_SOURCE_DIR) / "src/localization/strings/zh-Hans.lproj/Localizable.strings",
                       std::ios::binary);
  std::stringstream text;
  text << stream.rdbuf();
  return StringsTable::parse(text.str());
}

// The table is ours and valid UTF-8, so no error handling: a malformed
// sequence only garbles the text it is in.
std::u32string decode(std::string_view text) {
  std::u32string out;
  for (size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    size_t length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
    char32_t c = length == 1 ? byte : byte & (0x7F >> length);
    for (size_t k = 1; k < length && i + k < text.size(); ++k)
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out += c;
    i += length;
  }
  return out;
}

bool isHan(char32_t c) { return (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF); }
bool isLatin(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool isFullWidthPunctuation(char32_t c) {
  return std::u32string_view(U"，。；：？！（）“”、《》").find(c) != std::u32string_view::npos;
}
bool isHalfWidthPunctuation(char32_t c) { return std::u32string_view(U",.;:?!").find(c) != std::u32string_view::npos; }

// What is wrong with the spacing and punctuation of one translation.
std::vector<std::string> spacingFaults(std::string_view translation) {
  std::vector<std::string> faults;
  std::u32string text = decode(translation);
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    char32_t a = text[i], b = text[i + 1];
    if ((isHan(a) && isLatin(b)) || (isLatin(a) && isHan(b)))
      faults.push_back("no space between Chinese and Latin text");
    if ((isHan(a) && isHalfWidthPunctuation(b)) || (isHalfWidthPunctuation(a) && isHan(b)))
      faults.push_back("half-width punctuation in a Chinese sentence");
    if ((a == ' ' && isFullWidthPunctuation(b)) || (isFullWidthPunctuation(a) && b == ' '))
      faults.push_back("a space next to full-width punctuation");
  }
  return faults;
}

TEST(ChineseTableStyleTest, SpacingAndPunctuationCheckCatchesTheUsualSlips) {
  struct Case {
    std::string text;
    size_t faults;
  };
  const Case cases[] = {
      {"请在 Mac 上更新 Corvane 后重试。", 0},
      {"缺少“%1$@”", 0},
      {"用法：corvane-mac [--data-dir 路径]", 0},
      {"在Mac上", 2},
      {"失败,请重试.", 3},  // the comma counts on both sides
      {"缺少 “时间”", 1},
      {"6位验证码", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(spacingFaults(c.text).size(), c.faults) << c.text;
}

TEST(ChineseTableStyleTest, EntriesFollowTheConventions) {
  StringsTable table = chineseTable();
  for (const auto& [key, translation] : table.entries())
    for (const auto& fault : spacingFaults(translation)) ADD_FAILURE() << fault << ": " << translation;
}

TEST(ChineseTableStyleTest, EntriesUseTheGlossaryTerms) {
  // Words no entry uses, with the term that replaces them.
  const std::pair<std::string_view, std::string_view> avoided[] = {
      {"您", "你"},
      {"再重试", "重试"},
      {"帐户", "账户"},
      {"账号", "账户"},
      {"凭证", "凭据"},
      {"协调器", "协调服务"},
      {"使用窗口", "用量窗口"},
      {"钥匙串", "密钥环 (no Linux text names a keychain)"},
  };
  // An English word in the key and what its translation must then contain.
  struct Term {
    std::regex english;
    std::vector<std::string_view> chinese;
  };
  const auto word = [](const char* pattern) { return std::regex(pattern, std::regex::icase); };
  const Term terms[] = {
      {word(R"(\bcoordinator\b)"), {"协调服务"}},
      {word(R"(\bkeyring\b)"), {"密钥环"}},
      {word(R"(\bsign(ing)? out\b)"), {"退出", "登录"}},
      {word(R"(\bsign[- ]in\b)"), {"登录"}},
      {word(R"(\bpairing code\b)"), {"配对码"}},
      {word(R"(\baccounts?\b)"), {"账户"}},
      {word(R"(\bcredentials\b)"), {"凭据"}},
      {word(R"(\bquota\b)"), {"额度"}},
      {word(R"(\busage windows?\b)"), {"用量窗口"}},
      {word(R"(\bdiagnostics\b)"), {"诊断"}},  // 诊断信息, or 自动诊断 for automatic diagnostics
      {word(R"(\bauthori[sz])"), {"授权"}},
  };
  const std::regex quit = word(R"(\bquit)");

  StringsTable table = chineseTable();
  for (const auto& [key, translation] : table.entries()) {
    for (const auto& [avoid, instead] : avoided)
      EXPECT_EQ(translation.find(avoid), std::string::npos) << "say " << instead << ": " << translation;
    for (const auto& term : terms) {
      if (!std::regex_search(key, term.english)) continue;
      for (auto required : term.chinese)
        EXPECT_NE(translation.find(required), std::string::npos) << "use " << required << ": " << key;
    }
    // Bare 退出 means quit; signing out says 登录 as well.
    if (translation.find("退出") != std::string::npos && !std::regex_search(key, quit)) {
      EXPECT_NE(translation.find("登录"), std::string::npos) << "退出 alone means quit: " << translation;
    }
  }
}

}  // namespace
}  // namespace corvane
