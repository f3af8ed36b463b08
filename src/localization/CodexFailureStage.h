#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The step of a Codex operation at which a failure happened. The declaration
// order is part of the contract: failure codes are parsed stage by stage in
// this order.
enum class CodexFailureStage { initialize, loginStart, loginWait, accountRead, quotaRead, logout, other };

inline constexpr std::array<CodexFailureStage, 7> allCodexFailureStages = {
    CodexFailureStage::initialize,  CodexFailureStage::loginStart, CodexFailureStage::loginWait,
    CodexFailureStage::accountRead, CodexFailureStage::quotaRead,  CodexFailureStage::logout,
    CodexFailureStage::other};

// The wire form: "initialize", "login_start", ...
std::string_view rawValue(CodexFailureStage stage);
std::optional<CodexFailureStage> codexFailureStage(std::string_view raw);

// The localized name of the step ("Reading quota").
std::string title(CodexFailureStage stage);

}  // namespace corvane
