#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "localization/CodexFailureCategory.h"
#include "localization/CodexFailureStage.h"

namespace corvane {

// A stage and a category. Stored and sent only as its raw value,
// "codex_" + stage + "_" + category (codex_quota_read_rate_limited).
struct CodexFailureCode {
  CodexFailureStage stage;
  CodexFailureCategory category;

  // Nothing unless raw is exactly one of the 84 codes (case-sensitive,
  // nothing trimmed).
  static std::optional<CodexFailureCode> parse(std::string_view raw);

  std::string rawValue() const;

  // "<stage title>: <category message>", localized.
  std::string message() const;

  friend bool operator==(const CodexFailureCode&, const CodexFailureCode&) = default;
};

}  // namespace corvane
