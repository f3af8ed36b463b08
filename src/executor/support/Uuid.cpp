#include "executor/support/Uuid.h"

#include <sys/random.h>

#include <cctype>
#include <cerrno>
#include <cstdint>

#include "executor/support/CVError.h"

namespace corvane {

std::string randomUUID() {
  uint8_t bytes[16];
  size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw CVError::storage();
    filled += static_cast<size_t>(got);
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (size_t i = 0; i < sizeof bytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += hex[bytes[i] >> 4];
    text += hex[bytes[i] & 0x0F];
  }
  return text;
}

bool isUUID(std::string_view text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

}  // namespace corvane
