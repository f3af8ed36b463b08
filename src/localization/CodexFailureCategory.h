#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// What kind of failure a Codex operation met. Declaration order is the
// order of iteration and of the wire vocabulary.
enum class CodexFailureCategory {
  network,
  tls,
  timeout,
  accessDenied,
  authentication,
  rateLimited,
  serviceUnavailable,
  deviceAuthDisabled,
  keychain,
  protocol,
  runtimeClosed,
  failed
};

inline constexpr std::array<CodexFailureCategory, 12> allCodexFailureCategories = {
    CodexFailureCategory::network,
    CodexFailureCategory::tls,
    CodexFailureCategory::timeout,
    CodexFailureCategory::accessDenied,
    CodexFailureCategory::authentication,
    CodexFailureCategory::rateLimited,
    CodexFailureCategory::serviceUnavailable,
    CodexFailureCategory::deviceAuthDisabled,
    CodexFailureCategory::keychain,
    CodexFailureCategory::protocol,
    CodexFailureCategory::runtimeClosed,
    CodexFailureCategory::failed};

// The wire form: "network", "access_denied", ...
std::string_view rawValue(CodexFailureCategory category);
std::optional<CodexFailureCategory> codexFailureCategory(std::string_view raw);

// The localized advice shown for the category.
std::string message(CodexFailureCategory category);

}  // namespace corvane
