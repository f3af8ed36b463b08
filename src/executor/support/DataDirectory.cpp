#include "executor/support/DataDirectory.h"

#include <string>

#include "executor/support/Parsing.h"

namespace corvane {

std::optional<std::filesystem::path> DataDirectory::pendingLogin(const std::filesystem::path& directory,
                                                                 std::string_view loginId) {
  if (!isIdentifier(loginId)) return std::nullopt;
  return directory / pendingLogins / (std::string(loginId) + ".json");
}

std::optional<std::filesystem::path> DataDirectory::codexHome(const std::filesystem::path& directory,
                                                              std::string_view accountId) {
  if (!isIdentifier(accountId)) return std::nullopt;
  return directory / codexHomes / accountId;
}

}  // namespace corvane
