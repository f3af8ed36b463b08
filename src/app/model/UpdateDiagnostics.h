#pragma once

#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/model/HelperSnapshot.h"

namespace corvane::app {

// Where an update step's failure came from, for the update log.
struct UpdateErrorIdentity {
  std::string domain;
  long long code = 0;
};

// The identity of a failure the update steps throw.
UpdateErrorIdentity identify(const std::exception& error);

// The append-only update log "updates.jsonl", one compact JSON object a
// line, so support can reconstruct an update; the previous file is kept as
// "updates.previous.jsonl" once the log passes 1 MiB. Every event also goes
// to the system log. Never fails its caller.
class UpdateDiagnostics {
 public:
  static constexpr std::uintmax_t rotationSize = 1048576;

  // directory: the app's log folder (platform::logsDirectory of the home).
  UpdateDiagnostics(std::filesystem::path directory, std::string build, std::function<WallTime()> clock = {});

  void record(std::string_view event, const std::optional<std::string>& target = std::nullopt,
              const std::optional<UpdateErrorIdentity>& error = std::nullopt) const;

  std::filesystem::path file() const { return directory_ / "updates.jsonl"; }

 private:
  std::filesystem::path directory_;
  std::string build_;
  std::function<WallTime()> clock_;
};

}  // namespace corvane::app
