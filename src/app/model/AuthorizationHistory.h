#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/model/HelperSnapshot.h"

namespace corvane::app {

// What the app remembers of pending ChatGPT authorizations between
// snapshots, so it can tell that a request it showed has gone away.
struct AuthorizationHistory {
  std::map<std::string, WallTime> requests;  // login id -> expiry
  std::optional<WallTime> endedExpiry;       // latest expiry among requests that went away

  void update(const std::vector<Login>& logins);

  bool operator==(const AuthorizationHistory&) const = default;
};

}  // namespace corvane::app
