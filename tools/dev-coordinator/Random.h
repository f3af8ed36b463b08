#pragma once

#include <string>

namespace corvane::devcoordinator {

// Secrets and handles the service hands out, all from OpenSSL's CSPRNG.

// 43 characters of base64url (32 random bytes): device, session and poll tokens.
std::string randomToken();
// A random version 4 UUID in upper case: pairing, challenge and device ids.
std::string randomId();
// count decimal digits: e-mail codes.
std::string randomDigits(int count);
// "XXXX-XXXX" from letters and digits that cannot be confused when read off a
// phone screen: pairing codes.
std::string randomPairingCode();

}  // namespace corvane::devcoordinator
