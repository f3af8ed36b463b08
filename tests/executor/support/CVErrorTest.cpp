#include "executor/support/CVError.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace corvane {
namespace {

TEST(CVErrorTest, DescriptionsAreTheUserFacingTexts) {
  struct Case {
    CVError error;
    std::string expected;
  };
  const Case cases[] = {
      {CVError::invalid("Unknown argument: x"), "Unknown argument: x"},
      {CVError::network(429), "Coordinator request failed (HTTP 429)"},
      {CVError::network(), "Coordinator request failed"},
      {CVError::runtime("runtime_closed"), "Codex execution failed: runtime_closed"},
      {CVError::storage(), "Local secure storage is unavailable"},
      {CVError::timeout(), "Operation timed out"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.description(), c.expected);
    EXPECT_STREQ(c.error.what(), c.expected.c_str());
  }
  EXPECT_EQ(CVError::network(502).status(), 502);
  EXPECT_FALSE(CVError::network().status());
}

TEST(CVErrorTest, DescriptionsAreLocalized) {
  setenv("LANGUAGE", "zh_CN.UTF-8", 1);
  EXPECT_STREQ(CVError::network(429).what(), "协调服务请求失败 (HTTP 429)");
  EXPECT_STREQ(CVError::storage().what(), "本地安全存储不可用");
  setenv("LANGUAGE", "", 1);
}

}  // namespace
}  // namespace corvane
