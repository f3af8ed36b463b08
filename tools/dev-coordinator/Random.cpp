#include "Random.h"

#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace corvane::devcoordinator {

namespace {

template <size_t N>
std::array<unsigned char, N> randomBytes() {
  std::array<unsigned char, N> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(N)) != 1) throw std::runtime_error("no random bytes");
  return bytes;
}

// A uniformly chosen character of alphabet (rejection sampling, no modulo bias).
char randomCharacter(std::string_view alphabet) {
  const unsigned limit = 256 - 256 % alphabet.size();
  for (;;) {
    unsigned value = randomBytes<1>()[0];
    if (value < limit) return alphabet[value % alphabet.size()];
  }
}

}  // namespace

std::string randomToken() {
  static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  auto bytes = randomBytes<32>();
  std::string token;
  uint32_t bits = 0;
  int count = 0;
  for (unsigned char byte : bytes) {
    bits = (bits << 8) | byte;
    count += 8;
    while (count >= 6) {
      count -= 6;
      token += alphabet[(bits >> count) & 0x3F];
    }
  }
  if (count > 0) token += alphabet[(bits << (6 - count)) & 0x3F];
  return token;
}

std::string randomId() {
  auto bytes = randomBytes<16>();
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  static constexpr std::string_view hex = "0123456789ABCDEF";
  std::string id;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += hex[bytes[i] >> 4];
    id += hex[bytes[i] & 0x0F];
  }
  return id;
}

std::string randomDigits(int count) {
  std::string digits;
  for (int i = 0; i < count; ++i) digits += randomCharacter("0123456789");
  return digits;
}

std::string randomPairingCode() {
  static constexpr std::string_view alphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  std::string code;
  for (int i = 0; i < 8; ++i) {
    if (i == 4) code += '-';
    code += randomCharacter(alphabet);
  }
  return code;
}

}  // namespace corvane::devcoordinator
