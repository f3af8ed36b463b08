#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace corvane::platform {

// One bounded run of a program whose output the caller wants: one line of
// input, both output streams kept up to a cap, and a time limit. Blocks its
// caller for the whole run; meant for a worker thread.
struct CapturedRunPlan {
  std::filesystem::path program;                   // absolute, started without a PATH search
  std::vector<std::string> arguments;              // after argument 0, which is program
  std::map<std::string, std::string> environment;  // the child's whole environment
  // Written to the child's standard input, which is then closed; nothing
  // closes it at once. A child that exits without reading it does not
  // raise SIGPIPE here.
  std::optional<std::string> input;
  double timeout = 20;            // seconds until SIGTERM
  double killGrace = 1;           // seconds from SIGTERM to SIGKILL
  double drainGrace = 2;          // seconds the output is still read after the child ended
  std::size_t outputCap = 65536;  // bytes kept per stream; the rest is read and dropped
};

struct CapturedRunResult {
  enum class Outcome {
    notStarted,  // the program could not be started
    finished,    // the child exited or was killed by a signal on its own
    timedOut,    // the child was still running at the timeout and was ended
  };
  Outcome outcome = Outcome::notStarted;
  int waitStatus = 0;  // see waitpid; for finished only
  std::string output;
  std::string errorOutput;

  bool exitedWithZero() const;
};

CapturedRunResult runCaptured(const CapturedRunPlan& plan);

}  // namespace corvane::platform
