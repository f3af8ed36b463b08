#include "localization/AccountConnectionError.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(AccountConnectionErrorTest, MapsCodesToAdvice) {
  const std::string connectionFailed =
      "ChatGPT connection failed on your Mac. Restart Mac authorization; if it fails again, update Corvane on your "
      "Mac and export sanitized diagnostics.";
  const std::string quota =
      "Authorization completed, but quota could not be read. Check the Mac network and retry the quota read.";
  const std::string stopped =
      "The Codex process stopped before completing the request. Reopen Corvane on your Mac and retry.";
  const std::string bundled = "The bundled Codex could not handle this request. Update Corvane on your Mac and retry.";
  const std::string general =
      "The Mac could not complete this account request. Retry and check diagnostics on your Mac.";
  struct Case {
    std::string code;
    std::string expected;
  };
  const Case cases[] = {
      {"codex_login_wait_device_auth_disabled",
       "Completing ChatGPT authorization: Device-code sign-in is disabled. Enable it in ChatGPT security settings, "
       "then restart authorization."},
      {"request_failed", connectionFailed},
      {"login_failed", connectionFailed},
      {"quota_unavailable", quota},
      {"invalid_quota", quota},
      {"not_authenticated", "ChatGPT authorization is invalid or expired. Start Mac authorization again."},
      {"runtime_timeout", "The Codex request timed out. Check the Mac network and retry."},
      {"runtime_closed", stopped},
      {"runtime_unavailable", stopped},
      {"protocol_error", bundled},
      {"invalid_response", bundled},
      {"coordinator_unavailable",
       "Cannot connect to the service. Check your network and service status, then try again."},
      {"", general},
      {"Request_Failed", general},
      {"something_else", general},
  };
  for (const auto& c : cases) EXPECT_EQ(AccountConnectionError::message(c.code), c.expected) << c.code;
}

}  // namespace
}  // namespace corvane
