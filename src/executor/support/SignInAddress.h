#pragma once

#include <string_view>

namespace corvane {

// The hosts on which the Codex runtime's device-code sign-in page is served.
// A verification address on any other host is never shown to the user.
inline constexpr std::string_view signInHosts[] = {"auth.openai.com", "chatgpt.com"};

// Whether a verification address is one the user may be sent to: exactly
// "https://", a host of signInHosts (any case), an optional decimal port, no
// user or password, and nothing but printable ASCII without a backslash.
// Stricter than a general URL parser on purpose: the address comes from a
// child process and ends up on the user's screen, so anything a browser
// might read differently from this check is refused.
bool isSignInAddress(std::string_view address);

}  // namespace corvane
