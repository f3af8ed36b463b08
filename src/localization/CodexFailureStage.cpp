#include "localization/CodexFailureStage.h"

#include "localization/L10n.h"

namespace corvane {

namespace {
struct Row {
  std::string_view raw;
  std::string_view title;
};

constexpr std::array<Row, 7> rows = {{
    {"initialize", L10n::key("Starting Codex")},
    {"login_start", L10n::key("Starting ChatGPT authorization")},
    {"login_wait", L10n::key("Completing ChatGPT authorization")},
    {"account_read", L10n::key("Reading ChatGPT account")},
    {"quota_read", L10n::key("Reading quota")},
    {"logout", L10n::key("Signing out of ChatGPT")},
    {"other", L10n::key("Codex request")},
}};
}  // namespace

std::string_view rawValue(CodexFailureStage stage) { return rows[static_cast<size_t>(stage)].raw; }

std::optional<CodexFailureStage> codexFailureStage(std::string_view raw) {
  for (auto stage : allCodexFailureStages)
    if (rawValue(stage) == raw) return stage;
  return std::nullopt;
}

std::string title(CodexFailureStage stage) { return L10n::text(rows[static_cast<size_t>(stage)].title); }

}  // namespace corvane
