#include "localization/AccountConnectionError.h"

#include <array>

#include "localization/CodexFailureCode.h"
#include "localization/L10n.h"

namespace corvane {

namespace {
struct Row {
  std::string_view code;
  std::string_view text;
};

constexpr std::string_view connectionFailed = L10n::key(
    "ChatGPT connection failed on your Mac. Restart Mac authorization; if it fails again, update Corvane on your Mac and export sanitized diagnostics.");
constexpr std::string_view quotaUnreadable =
    L10n::key("Authorization completed, but quota could not be read. Check the Mac network and retry the quota read.");
constexpr std::string_view runtimeStopped =
    L10n::key("The Codex process stopped before completing the request. Reopen Corvane on your Mac and retry.");
constexpr std::string_view bundledCodexFailed =
    L10n::key("The bundled Codex could not handle this request. Update Corvane on your Mac and retry.");

constexpr std::array<Row, 11> rows = {{
    {"request_failed", connectionFailed},
    {"login_failed", connectionFailed},
    {"quota_unavailable", quotaUnreadable},
    {"invalid_quota", quotaUnreadable},
    {"not_authenticated", L10n::key("ChatGPT authorization is invalid or expired. Start Mac authorization again.")},
    {"runtime_timeout", L10n::key("The Codex request timed out. Check the Mac network and retry.")},
    {"runtime_closed", runtimeStopped},
    {"runtime_unavailable", runtimeStopped},
    {"protocol_error", bundledCodexFailed},
    {"invalid_response", bundledCodexFailed},
    {"coordinator_unavailable",
     L10n::key("Cannot connect to the service. Check your network and service status, then try again.")},
}};
}  // namespace

std::string AccountConnectionError::message(std::string_view code) {
  if (auto failure = CodexFailureCode::parse(code)) return failure->message();
  for (const auto& row : rows)
    if (row.code == code) return L10n::text(row.text);
  return L10n::text("The Mac could not complete this account request. Retry and check diagnostics on your Mac.");
}

}  // namespace corvane
