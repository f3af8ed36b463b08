#pragma once

#include <string>

#include "FakeHome.h"

namespace corvane::fakecodex {

// The release of the real runtime whose answers the fake reproduces.
inline constexpr const char* runtimeVersion = "0.169.0";

// The chatgpt.com and auth.openai.com addresses the real runtime names in its answers and errors.
inline constexpr const char* usageURL = "https://chatgpt.com/backend-api/wham/usage";
inline constexpr const char* deviceCodeURL = "https://auth.openai.com/api/accounts/deviceauth/usercode";
inline constexpr const char* verificationURL = "https://auth.openai.com/codex/device";

// Why the keyring could not be used when no Secret Service is running (the real runtime's text).
extern const char* const keyringCause;

Json initializeResult(const std::string& clientName, const std::string& clientVersion, const std::string& codexHome);
Json configWarningParams();
Json remoteControlParams();

// Whether the real runtime knows this client request method.
bool isKnownMethod(const std::string& method);
// "Invalid request: unknown variant `x`, expected one of `initialize`, ..."
std::string unknownMethodMessage(const std::string& method);

// "429 Too Many Requests", as the runtime's HTTP client prints a status.
std::string httpStatusText(int status);

// The "account/rateLimits/read" result for a signed-in account: the "codex" bucket (also under
// "rateLimitsByLimitId", beside a second model-specific bucket) and two reset credits.
Json defaultRateLimitsResult(const std::string& planType);

}  // namespace corvane::fakecodex
