#pragma once

#include <exception>
#include <optional>
#include <string_view>

#include "executor/support/Json.h"
#include "localization/CodexFailureCode.h"

namespace corvane {

// One failed request to the Codex runtime: which step failed and why, with
// the runtime's JSON-RPC error code and the upstream HTTP status when they
// are known. The code's raw value is what tasks report and the app shows.
struct CodexFailure {
  CodexFailureCode code;
  std::optional<int> rpcCode;     // within -32768...32767
  std::optional<int> httpStatus;  // within 400...599
  std::optional<int> durationMs;  // set by the caller that timed the request

  // The step a runtime method belongs to; `other` for any method not known.
  static CodexFailureStage stage(std::string_view method);

  // Classifies an error value the runtime returned (the "error" member of a
  // response or of a sign-in completion); error may be absent (nullptr) or
  // any JSON. Never fails: what fits no rule is `failed`.
  static CodexFailure provider(const Json* error, std::string_view method);

  // Classifies an error raised on the executor's side of the pipe.
  static CodexFailure transport(const std::exception& error, std::string_view method);
};

}  // namespace corvane
