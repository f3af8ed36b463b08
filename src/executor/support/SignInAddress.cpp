#include "executor/support/SignInAddress.h"

#include <algorithm>
#include <string>

namespace corvane {

namespace {

constexpr size_t maximumAddressLength = 2048;

bool printableASCII(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7f && c != '\\';
  });
}

bool validPort(std::string_view port) {
  if (port.empty() || port.size() > 5) return false;
  if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  return std::stoi(std::string(port)) <= 65535;
}

}  // namespace

bool isSignInAddress(std::string_view address) {
  constexpr std::string_view scheme = "https://";
  if (address.size() > maximumAddressLength || !address.starts_with(scheme) || !printableASCII(address)) return false;
  std::string_view rest = address.substr(scheme.size());
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  // Any "@" in the authority means a user part, with or without a password.
  if (authority.find('@') != std::string_view::npos) return false;
  std::string_view hostPart = authority;
  if (size_t colon = authority.find(':'); colon != std::string_view::npos) {
    if (!validPort(authority.substr(colon + 1))) return false;
    hostPart = authority.substr(0, colon);
  }
  std::string host(hostPart);
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::find(std::begin(signInHosts), std::end(signInHosts), host) != std::end(signInHosts);
}

}  // namespace corvane
