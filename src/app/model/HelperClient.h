#pragma once

#include <qcoro/qcorotask.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/model/HelperSnapshot.h"

namespace corvane::app {

// Runs the bundled `corvane-mac` once per operation: the command word and
// options as arguments, at most one line on standard input, a bounded time
// and bounded output. Holds nothing between runs.
class HelperClient {
 public:
  static constexpr double defaultTimeout = 20;

  explicit HelperClient(std::filesystem::path executable) : executable_(std::move(executable)) {}

  // The tool inside the application bundle (the .app folder).
  static HelperClient forBundle(const std::filesystem::path& bundle);

  // PATH, HOME and the address of the user's session bus, nothing else.
  static std::map<std::string, std::string> toolEnvironment();

  const std::filesystem::path& executable() const { return executable_; }

  // The child's standard output. Throws HelperError. Suspends the caller
  // while the child runs on a thread of its own.
  QCoro::Task<std::string> run(std::vector<std::string> arguments, std::optional<std::string> input,
                               double timeout = defaultTimeout) const;

  // `app-status`, decoded. Throws HelperError.
  QCoro::Task<HelperSnapshot> snapshot() const;

  // The body of run, blocking its caller.
  std::string runBlocking(const std::vector<std::string>& arguments, const std::optional<std::string>& input,
                          double timeout) const;

 private:
  std::filesystem::path executable_;
};

}  // namespace corvane::app
