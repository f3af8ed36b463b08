#pragma once

#include <sys/types.h>

#include <array>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// How one child process is started. The child receives exactly descriptors 0
// to 3: each is taken from `descriptors` when an entry is given, or kept from
// the parent otherwise (when the parent has it open); every descriptor above 3
// is closed in the child whatever its close-on-exec flag, so nothing the
// parent happens to hold can leak into it.
struct SpawnPlan {
  std::filesystem::path program;       // absolute; started as is, without a PATH search
  std::vector<std::string> arguments;  // the whole argument vector, argument 0 included
  // The complete environment of the child; nothing means the parent's own.
  std::optional<std::map<std::string, std::string>> environment;
  std::array<std::optional<int>, 4> descriptors;
  std::optional<std::filesystem::path> directory;  // working directory of the child
  bool newProcessGroup = false;                    // group identifier = the child's process identifier
};

// Starts the child with an empty signal mask and default actions for SIGTERM,
// SIGINT, SIGPIPE and SIGCHLD, whatever the parent blocks or ignores. Returns its
// process identifier, or nothing when it could not be started (errno tells
// why). The caller reaps the child.
std::optional<pid_t> spawnProcess(const SpawnPlan& plan);

}  // namespace corvane
