#include "platform/ServiceManager.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/ChildProcess.h"
#include "platform/Clock.h"
#include "platform/SystemInfo.h"

namespace corvane::platform {

namespace {

// systemctl waits for its own jobs with the manager's timeouts; this bound
// only keeps a wedged manager from holding the caller for ever.
constexpr double runLimitSeconds = 120;

std::filesystem::path systemctlProgram() {
  for (const char* candidate : {"/usr/bin/systemctl", "/bin/systemctl"})
    if (access(candidate, X_OK) == 0) return candidate;
  return "/usr/bin/systemctl";
}

// The user manager is found through XDG_RUNTIME_DIR; a tool started with a
// bare environment (by the tray app, say) still reaches it at the
// conventional place.
std::string runtimeDirectory() {
  if (const char* value = std::getenv("XDG_RUNTIME_DIR"); value && value[0] == '/') return value;
  return "/run/user/" + std::to_string(getuid());
}

}  // namespace

ServiceManager::ServiceManager()
    : ServiceManager(systemctlProgram(), {{"PATH", "/usr/bin:/bin"},
                                          {"HOME", homeDirectory().string()},
                                          {"XDG_RUNTIME_DIR", runtimeDirectory()},
                                          {"LANG", "C.UTF-8"}}) {}

ServiceManager::ServiceManager(std::filesystem::path program, std::map<std::string, std::string> environment)
    : program_(std::move(program)), environment_(std::move(environment)) {}

bool ServiceManager::reload() const { return run({"daemon-reload"}); }

bool ServiceManager::enableNow(std::string_view unit) const {
  return run({"enable", "--now", "--no-block", std::string(unit)});
}

bool ServiceManager::disableNow(std::string_view unit) const { return run({"disable", "--now", std::string(unit)}); }

bool ServiceManager::isActive(std::string_view unit) const { return run({"is-active", "--quiet", std::string(unit)}); }

bool ServiceManager::isEnabled(std::string_view unit) const {
  return run({"is-enabled", "--quiet", std::string(unit)});
}

bool ServiceManager::run(const std::vector<std::string>& arguments) const {
  SpawnPlan plan;
  plan.program = program_;
  plan.arguments = {program_.filename().string(), "--user"};
  plan.arguments.insert(plan.arguments.end(), arguments.begin(), arguments.end());
  plan.environment = environment_;
  plan.descriptors = {ChildDescriptor::nullDevice(), ChildDescriptor::nullDevice(), ChildDescriptor::nullDevice(),
                      ChildDescriptor::closed()};
  auto child = ChildProcess::spawn(plan);
  if (!child) return false;
  auto status = child->wait(continuousSeconds() + runLimitSeconds);
  if (!status) {
    child->terminate(1);
    return false;
  }
  return WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

std::filesystem::path userUnitFolder() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
    return std::filesystem::path(config) / "systemd/user";
  return homeDirectory() / ".config/systemd/user";
}

namespace {

std::string quoted(std::string_view word, bool expandsVariables) {
  std::string out = "\"";
  for (unsigned char c : word) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '%':
        out += "%%";
        break;
      case '$':
        out += expandsVariables ? "$$" : "$";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char escaped[5];
          std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace

std::string quotedUnitWord(std::string_view word) { return quoted(word, true); }

std::string quotedUnitProgram(std::string_view program) { return quoted(program, false); }

}  // namespace corvane::platform
