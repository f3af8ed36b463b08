#include "app/model/AuthorizationHistory.h"

namespace corvane::app {

void AuthorizationHistory::update(const std::vector<Login>& logins) {
  std::map<std::string, WallTime> current;
  for (const Login& login : logins) current.emplace(login.id, parseTimestamp(login.expiresAt).value_or(distantPast));
  std::optional<WallTime> latestGone;
  for (const auto& [id, expiry] : requests)
    if (!current.count(id) && (!latestGone || expiry > *latestGone)) latestGone = expiry;
  if (latestGone) endedExpiry = latestGone;
  requests = std::move(current);
}

}  // namespace corvane::app
