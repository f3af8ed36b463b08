#include "localization/CodexFailureCode.h"

#include "localization/L10n.h"

namespace corvane {

std::optional<CodexFailureCode> CodexFailureCode::parse(std::string_view raw) {
  for (auto stage : allCodexFailureStages) {
    std::string prefix = "codex_" + std::string(corvane::rawValue(stage)) + "_";
    if (raw.substr(0, prefix.size()) != prefix) continue;
    if (auto category = codexFailureCategory(raw.substr(prefix.size()))) return CodexFailureCode{stage, *category};
  }
  return std::nullopt;
}

std::string CodexFailureCode::rawValue() const {
  return "codex_" + std::string(corvane::rawValue(stage)) + "_" + std::string(corvane::rawValue(category));
}

std::string CodexFailureCode::message() const {
  return L10n::text("%1$@: %2$@", title(stage), corvane::message(category));
}

}  // namespace corvane
