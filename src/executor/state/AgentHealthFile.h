#pragma once

#include <filesystem>
#include <mutex>
#include <optional>

#include "executor/state/AgentHealth.h"
#include "platform/Clock.h"

namespace corvane {

// The agent's health file, agent-health.json in the data directory
// (DataDirectory::agentHealth): how the executor tells the menu bar app its
// condition without talking to it. The
// file is replaced atomically, so readers in other processes always see one
// whole record, old or new.
//
// Thread safety: writers in one process are serialized by the object's lock,
// so all of them must share one AgentHealthFile; the newest call wins.
class AgentHealthFile {
 public:
  // clock stamps every record written; it must outlive this object.
  explicit AgentHealthFile(std::filesystem::path file, const platform::Clock& clock = platform::systemClock())
      : file_(std::move(file)), clock_(clock) {}

  const std::filesystem::path& path() const { return file_; }

  // Publishes health stamped with the clock's wall time. Never fails: a health
  // file that cannot be written must not stop the executor, and the previous
  // whole file stays in place.
  void write(const AgentHealth& health) noexcept;

  // The record in the file, normalized (see AgentHealth::fromJSON); nothing
  // when the file is missing, a symbolic link, not a regular file, larger
  // than statusFileLimit or not a valid record.
  std::optional<AgentHealth::Published> read() const;

 private:
  std::filesystem::path file_;
  const platform::Clock& clock_;
  std::mutex lock_;
};

}  // namespace corvane
