#pragma once

#include <string>
#include <string_view>

namespace corvane {

// The text the app shows for an account-connection failure code reported by
// the executor: a Codex failure code reads as its own message; the executor's
// generic codes map to fixed advice; anything else gets a general text.
class AccountConnectionError {
 public:
  static std::string message(std::string_view code);
};

}  // namespace corvane
