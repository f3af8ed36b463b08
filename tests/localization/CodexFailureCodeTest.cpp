#include "localization/CodexFailureCode.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace corvane
