#pragma once

#include <filesystem>
#include <string>

#include "executor/support/Json.h"
#include "platform/ServiceManager.h"

namespace corvane {

// The tool's own per-user background service for one data directory, for use
// without the tray app: a systemd user unit that runs `agent` on the
// directory at login and again whenever it exits. Each directory gets its
// own unit, named after a hash of its path, so directories (production and
// staging, say) run side by side.
class LaunchAgent {
 public:
  // directory: the canonical data directory. Never fails.
  explicit LaunchAgent(const std::filesystem::path& directory, platform::ServiceManager manager = {},
                       std::filesystem::path unitFolder = platform::userUnitFolder());

  // "com.corvane.executor." and the first 12 hexadecimal digits of the
  // SHA-256 of the directory's path.
  const std::string& label() const { return label_; }
  // The unit's name: label + ".service".
  std::string unitName() const { return label_ + ".service"; }
  // Where the unit file goes: the user's unit folder + unitName().
  const std::filesystem::path& unitFile() const { return unitFile_; }

  // The unit's text for running `tool --data-dir <directory> agent --codex
  // <codex>`: tool and codex are absolute paths.
  std::string rendered(const std::filesystem::path& tool, const std::filesystem::path& codex) const;

  // Writes the unit (only for a paired directory, and never over an existing
  // one) and starts it; the status afterwards. CVError on failure, with the
  // unit removed again when the manager refused it.
  Json install(const std::filesystem::path& tool, const std::filesystem::path& codex) const;

  // Stops and removes the unit; {"installed": false, ...}. CVError on failure.
  Json uninstall() const;

  // {"installed", "label", "loaded"}. Never fails.
  Json status() const;

 private:
  std::filesystem::path directory_;
  platform::ServiceManager manager_;
  std::string label_;
  std::filesystem::path unitFile_;
};

}  // namespace corvane
