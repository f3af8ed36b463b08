#include "executor/state/PairingRecord.h"

#include "executor/support/DataDirectory.h"
#include "executor/support/Json.h"
#include "executor/support/Paths.h"
#include "executor/support/PrivateFiles.h"

namespace corvane {

namespace fs = std::filesystem;

namespace {

fs::path file(const fs::path& directory) { return directory / DataDirectory::pairingRecord; }

std::string stringMember(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  return value && value->is_string() ? value->get<std::string>() : std::string();
}

}  // namespace

bool PairingRecord::exists(const fs::path& directory) { return entryExists(file(directory)); }

bool PairingRecord::isSymbolicLink(const fs::path& directory) { return corvane::isSymbolicLink(file(directory)); }

std::optional<PairingRecord> PairingRecord::read(const fs::path& directory) {
  auto json = readJSONObjectFile(file(directory), statusFileLimit);
  if (!json) return std::nullopt;
  const Json* loopback = member(*json, "developmentLoopback");
  return PairingRecord{stringMember(*json, "url"), stringMember(*json, "deviceId"), stringMember(*json, "email"),
                       loopback && loopback->is_boolean() && loopback->get<bool>()};
}

void PairingRecord::write(const fs::path& directory) const {
  atomicPrivateJSON(
      {{"url", url}, {"deviceId", deviceId}, {"email", email}, {"developmentLoopback", developmentLoopback}},
      file(directory));
}

}  // namespace corvane
