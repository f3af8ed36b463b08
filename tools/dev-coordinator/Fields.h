#pragma once

#include <optional>
#include <string>

#include "Reply.h"

namespace corvane::devcoordinator {

// body[key] when it is a non-empty string; absent otherwise (the caller
// answers 400 naming the key).
inline std::optional<std::string> requiredString(const Json& body, const char* key) {
  auto it = body.find(key);
  if (it == body.end() || !it->is_string() || it->get<std::string>().empty()) return std::nullopt;
  return it->get<std::string>();
}

inline Reply missing(const char* key) {
  return Reply::error(400, "invalid_request", std::string("\"") + key + "\" must be a non-empty string");
}

}  // namespace corvane::devcoordinator
