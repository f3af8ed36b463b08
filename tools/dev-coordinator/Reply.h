#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace corvane::devcoordinator {

using Json = nlohmann::json;

// What the server does with one request: usually an answer, but a scripted
// fault can also hold the connection open or drop it without a word.
struct Reply {
  enum class Delivery { answer, hold, close };

  unsigned status = 200;
  std::string body;
  std::string contentType = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;  // extra headers (Location, Retry-After)
  std::chrono::milliseconds delay{0};                        // wait this long before writing the answer
  Delivery delivery = Delivery::answer;

  // A JSON answer, compact and with "/" unescaped like the real service.
  static Reply json(unsigned status, const Json& body);
  // {"error": code, "message": message}
  static Reply error(unsigned status, std::string code, std::string message);
};

}  // namespace corvane::devcoordinator
