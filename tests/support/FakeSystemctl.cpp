// A stand-in for `systemctl --user`, since no user manager runs on a build
// machine. It keeps the manager's state as files in the folder named by
// FAKE_SYSTEMCTL_STATE and the user's units in FAKE_SYSTEMCTL_UNITS:
//   calls                  every call's arguments, one line each
//   enabled/<unit>         the unit is enabled
//   active/<unit>          the unit runs
//   refuse-<verb>          that verb fails (daemon-reload, enable, disable)
// Like the real manager it enables only a unit it can find in the unit
// folder (or is given by path, which it links there first) and removes the
// link of a linked unit when disabling it. Exit statuses follow systemctl:
// 0 yes or done, 1 failed or not enabled, 3 not active.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

fs::path folder(const char* variable) {
  const char* value = std::getenv(variable);
  if (!value || !*value) {
    std::fprintf(stderr, "fake-systemctl: %s is not set\n", variable);
    std::exit(1);
  }
  return value;
}

bool refused(const fs::path& state, const std::string& verb) { return fs::exists(state / ("refuse-" + verb)); }

void mark(const fs::path& state, const char* what, const std::string& unit, bool on) {
  fs::create_directories(state / what);
  if (on)
    std::ofstream(state / what / unit);
  else
    fs::remove(state / what / unit);
}

int enable(const fs::path& state, const fs::path& units, const std::string& argument) {
  std::error_code error;
  std::string unit = argument;
  if (argument.starts_with("/")) {
    fs::path source = argument;
    unit = source.filename().string();
    fs::path link = units / unit;
    if (fs::is_symlink(link, error)) {
      if (fs::read_symlink(link) != source) return 1;  // "already exists and is a symlink to ..."
    } else if (fs::exists(link, error)) {
      return 1;
    } else {
      if (!fs::is_regular_file(source, error)) return 1;
      fs::create_directories(units);
      fs::create_symlink(source, link);
    }
  }
  if (!fs::is_regular_file(units / unit, error)) return 1;  // "Unit file ... does not exist"
  mark(state, "enabled", unit, true);
  mark(state, "active", unit, true);
  return 0;
}

int disable(const fs::path& state, const fs::path& units, const std::string& unit) {
  mark(state, "enabled", unit, false);
  mark(state, "active", unit, false);
  std::error_code error;
  if (fs::is_symlink(units / unit, error)) fs::remove(units / unit);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path state = folder("FAKE_SYSTEMCTL_STATE");
  fs::path units = folder("FAKE_SYSTEMCTL_UNITS");
  std::vector<std::string> arguments(argv + 1, argv + argc);
  {
    std::ofstream calls(state / "calls", std::ios::app);
    for (size_t i = 0; i < arguments.size(); ++i) calls << (i ? " " : "") << arguments[i];
    calls << "\n";
  }
  if (arguments.empty() || arguments[0] != "--user") return 1;
  arguments.erase(arguments.begin());
  const std::string verb = arguments.empty() ? "" : arguments[0];
  const std::string unit = arguments.empty() ? "" : arguments.back();
  if (refused(state, verb)) return 1;
  if (arguments == std::vector<std::string>{"daemon-reload"}) return 0;
  if (arguments.size() == 4 && verb == "enable" && arguments[1] == "--now" && arguments[2] == "--no-block")
    return enable(state, units, unit);
  if (arguments.size() == 3 && verb == "disable" && arguments[1] == "--now") return disable(state, units, unit);
  if (arguments.size() == 3 && verb == "is-active" && arguments[1] == "--quiet")
    return fs::exists(state / "active" / unit) ? 0 : 3;
  if (arguments.size() == 3 && verb == "is-enabled" && arguments[1] == "--quiet")
    return fs::exists(state / "enabled" / unit) ? 0 : 1;
  return 1;
}
