#include "localization/LegalLinks.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TEST(LegalLinksTest, DocumentsFollowTheLanguage) {
  const std::vector<std::string> chinese = {"zh-Hans-CN"};
  const std::vector<std::string> other = {"fr-FR"};
  EXPECT_TRUE(endsWith(LegalLinks::terms(chinese), "/legal/terms/zh-CN/")) << LegalLinks::terms(chinese);
  EXPECT_TRUE(endsWith(LegalLinks::terms(other), "/legal/terms/en/"));
  EXPECT_TRUE(endsWith(LegalLinks::privacy(chinese), "/legal/privacy/zh-CN/"));
  EXPECT_TRUE(endsWith(LegalLinks::privacy({}), "/legal/privacy/en/"));
  EXPECT_EQ(LegalLinks::terms({}).rfind("https://", 0), 0u);
}

TEST(LegalLinksTest, SignInNoticeCarriesBothLinks) {
  for (const std::vector<std::string>& preferences : {std::vector<std::string>{"en"}, {"zh-Hans"}}) {
    SignInNotice notice = LegalLinks::signInNotice(preferences);
    std::vector<std::string> links;
    std::string joined;
    for (const auto& run : notice.runs) {
      joined += run.text;
      if (run.link) links.push_back(*run.link);
    }
    EXPECT_EQ(joined, notice.text);
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0], LegalLinks::terms(preferences));
    EXPECT_EQ(links[1], LegalLinks::privacy(preferences));
    EXPECT_EQ(notice.text.find('['), std::string::npos) << notice.text;
  }
  SignInNotice english = LegalLinks::signInNotice({"en"});
  ASSERT_EQ(english.runs.size(), 5u);
  EXPECT_EQ(english.runs[0], (NoticeRun{"By continuing, you agree to our ", std::nullopt}));
  EXPECT_EQ(english.runs[1].text, "Terms of Service");
  EXPECT_EQ(english.runs[3].text, "Privacy Policy");
  EXPECT_EQ(english.runs[4].text, ".");
}

TEST(LegalLinksTest, TextThatIsNotAPlainLinkParagraphIsRefused) {
  const char* refused[] = {
      "two\n\nparagraphs",
      "an ![image](https://x.test/i.png)",
      "a [relative](legal/terms) link",
      "a [script](javascript:alert(1)) link",
      "# heading",
      "<b>html</b>",
  };
  for (const char* text : refused) EXPECT_FALSE(LegalLinks::parseLinks(text)) << text;

  auto runs = LegalLinks::parseLinks("plain *and* [a **bold** link](https://x.test/a/)");
  ASSERT_TRUE(runs);
  ASSERT_EQ(runs->size(), 2u);
  EXPECT_EQ((*runs)[0], (NoticeRun{"plain and ", std::nullopt}));
  EXPECT_EQ((*runs)[1], (NoticeRun{"a bold link", "https://x.test/a/"}));
}

}  // namespace
}  // namespace corvane
