#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "executor/support/DataDirectory.h"
#include "executor/support/Parsing.h"

namespace corvane {

// The update-drain request: a short-lived file in the data directory
// (DataDirectory::updatePreparation) that asks the running agent to stop
// taking work before the app is replaced. The file is the only state; it is
// written by the prepare-update and cancel-update runs and read by the agent,
// and replaced atomically so the agent always reads a whole request.
class UpdatePreparation {
 public:
  static constexpr double lifetimeSeconds = 600;
  static constexpr size_t fileLimit = 1024;

  explicit UpdatePreparation(std::filesystem::path directory) : directory_(std::move(directory)) {}

  // Replaces any earlier request with a new one that expires lifetimeSeconds
  // after now, and returns its id (a random UUID, upper-case).
  // CVError.storage when the file cannot be written.
  std::string begin(WallTime now) const;

  // Withdraws any request; nothing to withdraw is success.
  // CVError.storage when an existing request cannot be removed.
  void cancel() const;

  // The id of the request active at now, as stored. Never fails: a missing,
  // linked, oversized or malformed file, an id that is not a UUID, an
  // expired request and one that expires more than lifetimeSeconds after now
  // (the clock was set back) all mean no active request.
  std::optional<std::string> activeID(WallTime now) const noexcept;

  std::filesystem::path file() const { return directory_ / DataDirectory::updatePreparation; }

 private:
  std::filesystem::path directory_;
};

}  // namespace corvane
