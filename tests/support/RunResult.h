#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace corvane::test {

struct RunResult {
  int status = -1;  // exit status, or 128 + signal when killed
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string input;                                              // written to standard input, then closed
  std::map<std::string, std::optional<std::string>> environment;  // set (value) or unset (nothing)
  std::optional<std::filesystem::path> workingDirectory;
  // Standard output goes to this file (opened for writing, e.g. /dev/full)
  // instead of being captured.
  std::optional<std::filesystem::path> outputFile;
  bool closeOutput = false;    // the child starts with standard output closed
  double timeoutSeconds = 60;  // then the child is killed
};

// Runs program with arguments as a child process and waits for it, capturing
// both output streams. The child's environment is the test's, changed by
// options.environment.
RunResult runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                     const RunOptions& options = {});

}  // namespace corvane::test
