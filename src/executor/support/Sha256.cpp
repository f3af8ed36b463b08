#include "executor/support/Sha256.h"

#include <nettle/sha2.h>

namespace corvane {

// Nettle, not OpenSSL: every run of the tool hashes (the keyring account, the
// diagnostics scope), and libcrypto alone costs more to load than the rest of
// a status query.
std::string sha256Hex(std::string_view bytes) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&context, sizeof digest, digest);
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * sizeof digest);
  for (uint8_t byte : digest) {
    text += hex[byte >> 4];
    text += hex[byte & 0x0f];
  }
  return text;
}

}  // namespace corvane
