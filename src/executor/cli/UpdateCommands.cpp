#include "executor/cli/UpdateCommands.h"

#include <chrono>

#include "executor/state/UpdatePreparation.h"

namespace corvane {

CommandOutput prepareUpdateCommand(const Options& options) {
  std::string id = UpdatePreparation(options.dataDirectory).begin(currentWallTime());
  return Json{{"id", id}};
}

CommandOutput cancelUpdateCommand(const Options& options) {
  UpdatePreparation(options.dataDirectory).cancel();
  return Json{{"cancelled", true}};
}

}  // namespace corvane
