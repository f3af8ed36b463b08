#include "localization/CodexFailureCategory.h"

#include "localization/L10n.h"

namespace corvane {

namespace {
struct Row {
  std::string_view raw;
  std::string_view message;
};

constexpr std::array<Row, 12> rows = {{
    {"network", L10n::key("Cannot reach OpenAI from your Mac. Check the Mac network and proxy, then retry.")},
    {"tls", L10n::key("The secure connection to OpenAI failed. Check the Mac clock and network certificate settings.")},
    {"timeout", L10n::key("The Codex request timed out. Check the Mac network and retry.")},
    {"access_denied", L10n::key("OpenAI refused this request. Check access to OpenAI on your Mac and retry.")},
    {"authentication", L10n::key("ChatGPT authorization is invalid or expired. Start Mac authorization again.")},
    {"rate_limited", L10n::key("OpenAI is receiving too many requests. Wait a few minutes before retrying.")},
    {"service_unavailable", L10n::key("OpenAI is temporarily unavailable. Try again later.")},
    {"device_auth_disabled",
     L10n::key("Device-code sign-in is disabled. Enable it in ChatGPT security settings, then restart authorization.")},
    {"keychain", L10n::key("Codex could not access secure credentials. Unlock the login keyring and retry.")},
    {"protocol", L10n::key("The bundled Codex could not handle this request. Update Corvane on your Mac and retry.")},
    {"runtime_closed",
     L10n::key("The Codex process stopped before completing the request. Reopen Corvane on your Mac and retry.")},
    {"failed", L10n::key("Codex could not complete this step. Retry, then export sanitized diagnostics from Manage "
                         "This Mac if it still fails.")},
}};
}  // namespace

std::string_view rawValue(CodexFailureCategory category) { return rows[static_cast<size_t>(category)].raw; }

std::optional<CodexFailureCategory> codexFailureCategory(std::string_view raw) {
  for (auto category : allCodexFailureCategories)
    if (rawValue(category) == raw) return category;
  return std::nullopt;
}

std::string message(CodexFailureCategory category) { return L10n::text(rows[static_cast<size_t>(category)].message); }

}  // namespace corvane
