#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::platform {

// The user's own service manager (on Linux the systemd user instance, driven
// through `systemctl --user`). Each call runs the control program once and
// says whether it succeeded; why it failed is the program's business, since
// callers only ever report "it did not work". Thread-compatible.
class ServiceManager {
 public:
  // The system's manager: /usr/bin/systemctl, else /bin/systemctl, started by
  // absolute path with a clean environment (PATH, HOME, XDG_RUNTIME_DIR and
  // LANG only), so nothing in the caller's environment can redirect it.
  ServiceManager();

  // A manager that runs program with exactly environment instead: the seam
  // for a stand-in in tests. Production code never takes it.
  ServiceManager(std::filesystem::path program, std::map<std::string, std::string> environment);

  // Makes the manager read the unit files again (daemon-reload).
  bool reload() const;
  // Enables unit (started at login from now on) and queues its start without
  // waiting for the service to be ready (enable --now --no-block).
  bool enableNow(std::string_view unit) const;
  // Disables unit and stops it, waiting for the stop (disable --now).
  bool disableNow(std::string_view unit) const;
  // Whether unit is running (is-active).
  bool isActive(std::string_view unit) const;
  // Whether unit is enabled (is-enabled).
  bool isEnabled(std::string_view unit) const;

 private:
  bool run(const std::vector<std::string>& arguments) const;

  std::filesystem::path program_;
  std::map<std::string, std::string> environment_;
};

// The folder of the user's own unit files: $XDG_CONFIG_HOME/systemd/user when
// that variable holds an absolute path, otherwise ~/.config/systemd/user.
std::filesystem::path userUnitFolder();

// word as one argument of a unit file's command line: double-quoted, with the
// characters the manager would otherwise interpret escaped ("\\", "\"", the
// specifier "%" as "%%", the variable "$" as "$$", control characters as \xNN).
std::string quotedUnitWord(std::string_view word);

// program as the first word of a command line, the program to run: quoted
// as quotedUnitWord, except that "$" stays as it is, since the manager
// expands variables only in the arguments.
std::string quotedUnitProgram(std::string_view program);

}  // namespace corvane::platform
