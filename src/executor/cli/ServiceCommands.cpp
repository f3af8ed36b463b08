#include "executor/cli/ServiceCommands.h"

#include "executor/cli/Executables.h"
#include "executor/service/LaunchAgent.h"
#include "executor/support/CVError.h"

namespace corvane {

CommandOutput installCommand(const Options& options) {
  // The unit pins the runtime found now, so a later PATH cannot swap it.
  std::filesystem::path codex = std::filesystem::absolute(resolveExecutable(options.codex));
  // The unit runs the tool by the path it was started with, so an upgrade
  // that replaces the file is picked up at the next restart.
  std::filesystem::path tool = std::filesystem::absolute(resolveExecutable(options.program));
  LaunchAgent agent(options.dataDirectory);
  if (options.renderOnly) {
    std::string text = agent.rendered(tool, codex);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  return agent.install(tool, codex);
}

CommandOutput uninstallCommand(const Options& options) { return LaunchAgent(options.dataDirectory).uninstall(); }

CommandOutput agentStatusCommand(const Options& options) { return LaunchAgent(options.dataDirectory).status(); }

}  // namespace corvane
