#include "localization/CodexFailureCode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

namespace corvane {
namespace {

TEST(CodexFailureCodeTest, EveryCodeRoundTrips) {
  std::set<std::string> seen;
  for (auto stage : allCodexFailureStages) {
    for (auto category : allCodexFailureCategories) {
      CodexFailureCode code{stage, category};
      std::string raw = code.rawValue();
      EXPECT_TRUE(seen.insert(raw).second) << raw;
      EXPECT_EQ(CodexFailureCode::parse(raw), code) << raw;
    }
  }
  EXPECT_EQ(seen.size(), 84u);
}

TEST(CodexFailureCodeTest, ParsesOnlyExactCodes) {
  auto code = CodexFailureCode::parse("codex_quota_read_rate_limited");
  ASSERT_TRUE(code);
  EXPECT_EQ(code->stage, CodexFailureStage::quotaRead);
  EXPECT_EQ(code->category, CodexFailureCategory::rateLimited);
  EXPECT_EQ(code->rawValue(), "codex_quota_read_rate_limited");
  EXPECT_EQ(CodexFailureCode::parse("codex_login_wait_device_auth_disabled"),
            (CodexFailureCode{CodexFailureStage::loginWait, CodexFailureCategory::deviceAuthDisabled}));

  for (const char* raw : {"codex_quota_read_", "codex_quota_read_rate_limited_x", "Codex_quota_read_timeout",
                          " codex_quota_read_timeout", "codex_quota_timeout", "codex__timeout", "", "codex_"})
    EXPECT_FALSE(CodexFailureCode::parse(raw)) << raw;
}

TEST(CodexFailureCodeTest, RawValuesOfStagesAndCategories) {
  EXPECT_EQ(rawValue(CodexFailureStage::loginStart), "login_start");
  EXPECT_EQ(codexFailureStage("account_read"), CodexFailureStage::accountRead);
  EXPECT_EQ(rawValue(CodexFailureCategory::serviceUnavailable), "service_unavailable");
  EXPECT_EQ(codexFailureCategory("runtime_closed"), CodexFailureCategory::runtimeClosed);
  EXPECT_FALSE(codexFailureCategory("Network"));
  EXPECT_FALSE(codexFailureStage("quota-read"));
}

TEST(CodexFailureCodeTest, MessageJoinsStageTitleAndCategoryMessage) {
  CodexFailureCode code{CodexFailureStage::quotaRead, CodexFailureCategory::rateLimited};
  EXPECT_EQ(code.message(),
            "Reading quota: OpenAI is receiving too many requests. Wait a few minutes before retrying.");
}

// The stage titles head the advice, so in Chinese they read as the name of the
// step (读取额度), not as an action under way (正在读取额度).
TEST(CodexFailureCodeTest, ChineseMessageNamesTheStepBeforeTheAdvice) {
  setenv("LANGUAGE", "zh_CN.UTF-8", 1);
  struct Case {
    CodexFailureCode code;
    std::string expected;
  };
  const Case cases[] = {
      {{CodexFailureStage::quotaRead, CodexFailureCategory::rateLimited},
       "读取额度：OpenAI 收到的请求过多。请等待几分钟后重试。"},
      {{CodexFailureStage::loginStart, CodexFailureCategory::authentication},
       "发起 ChatGPT 授权：ChatGPT 授权无效或已过期。请在 Mac 上重新授权。"},
      {{CodexFailureStage::logout, CodexFailureCategory::tls},
       "退出 ChatGPT 登录：与 OpenAI 的安全连接失败。请检查 Mac 的系统时间和网络证书设置。"},
      {{CodexFailureStage::accountRead, CodexFailureCategory::keychain},
       "读取 ChatGPT 账户：Codex 无法访问安全凭据。请解锁登录密钥环后重试。"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.code.message(), c.expected) << c.code.rawValue();
  unsetenv("LANGUAGE");
}

}  // namespace
}  // namespace corvane
