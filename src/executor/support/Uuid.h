#pragma once

#include <string>
#include <string_view>

namespace corvane {

// A random (version 4) UUID from the kernel's cryptographic source, in
// canonical upper-case form ("8C1D...-...").
std::string randomUUID();

// Whether text is a UUID in canonical form (either case).
bool isUUID(std::string_view text);

}  // namespace corvane
