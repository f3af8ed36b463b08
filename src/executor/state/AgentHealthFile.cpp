#include "executor/state/AgentHealthFile.h"

#include <chrono>
#include <exception>
#include <string>

#include "executor/support/PrivateFiles.h"
#include "platform/Log.h"

namespace corvane {

namespace {
void noteFailure(const char* reason) noexcept {
  try {
    platform::Logger("executor").error(std::string("health file not written: ") + reason);
  } catch (...) {
  }
}
}  // namespace

void AgentHealthFile::write(const AgentHealth& health) noexcept {
  std::lock_guard guard(lock_);
  try {
    atomicPrivateJSON(health.json(clock_.wallTime()), file_);
  } catch (const std::exception& error) {
    noteFailure(error.what());
  } catch (...) {
    noteFailure("unknown error");
  }
}

std::optional<AgentHealth::Published> AgentHealthFile::read() const {
  auto value = readJSONObjectFile(file_, statusFileLimit);
  if (!value) return std::nullopt;
  return AgentHealth::fromJSON(*value);
}

}  // namespace corvane
