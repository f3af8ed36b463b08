#include "executor/support/Sha256.h"

#include <openssl/evp.h>

#include "executor/support/CVError.h"

namespace corvane {

std::string sha256Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr)) throw CVError::storage();
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    text += hex[digest[i] >> 4];
    text += hex[digest[i] & 0x0f];
  }
  return text;
}

}  // namespace corvane
