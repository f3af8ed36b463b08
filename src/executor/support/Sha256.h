#pragma once

#include <string>
#include <string_view>

namespace corvane {

// The SHA-256 digest of bytes in lower-case hexadecimal (64 characters). Names
// derived from the data directory's path (the keyring account, the service
// label) use it, so one directory always maps to the same name.
std::string sha256Hex(std::string_view bytes);

}  // namespace corvane
