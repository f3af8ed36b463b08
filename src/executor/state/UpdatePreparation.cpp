#include "executor/state/UpdatePreparation.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "executor/support/CVError.h"
#include "executor/support/PrivateFiles.h"
#include "executor/support/Uuid.h"

namespace corvane {

namespace {
WallTime::duration lifetime() {
  return std::chrono::duration_cast<WallTime::duration>(
      std::chrono::duration<double>(UpdatePreparation::lifetimeSeconds));
}
}  // namespace

std::string UpdatePreparation::begin(WallTime now) const {
  std::string id = randomUUID();
  atomicPrivateJSON({{"id", id}, {"expiresAt", formatTime(now + lifetime())}}, file());
  return id;
}

void UpdatePreparation::cancel() const {
  // unlink removes a link planted here rather than what it points to.
  if (unlink(file().c_str()) != 0 && errno != ENOENT) throw CVError::storage();
}

std::optional<std::string> UpdatePreparation::activeID(WallTime now) const noexcept {
  try {
    auto request = readJSONObjectFile(file(), fileLimit);
    if (!request) return std::nullopt;
    const Json* id = member(*request, "id");
    if (!id || !id->is_string() || !isUUID(id->get_ref<const std::string&>())) return std::nullopt;
    WallTime expiresAt = parseTime(member(*request, "expiresAt"));
    auto remaining = expiresAt - now;
    if (remaining <= WallTime::duration::zero() || remaining > lifetime()) return std::nullopt;
    return id->get<std::string>();
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace corvane
