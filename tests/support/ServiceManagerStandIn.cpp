#include "support/ServiceManagerStandIn.h"

#include <sys/stat.h>

#include <fstream>

#include "support/ReadFile.h"

namespace corvane::test {

namespace fs = std::filesystem;

ServiceManagerStandIn::ServiceManagerStandIn() { fs::create_directories(directory_ / "state"); }

platform::ServiceManager ServiceManagerStandIn::manager() const {
  return platform::ServiceManager(CORVANE_FAKE_SYSTEMCTL, {{"FAKE_SYSTEMCTL_STATE", (directory_ / "state").string()},
                                                           {"FAKE_SYSTEMCTL_UNITS", unitFolder().string()}});
}

std::vector<std::string> ServiceManagerStandIn::calls() const {
  std::vector<std::string> lines;
  std::ifstream file(directory_ / "state/calls");
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

void ServiceManagerStandIn::refuse(const std::string& verb) const {
  std::ofstream(directory_ / "state" / ("refuse-" + verb));
}

bool ServiceManagerStandIn::isEnabled(const std::string& unit) const {
  return fs::exists(directory_ / "state/enabled" / unit);
}

bool ServiceManagerStandIn::isActive(const std::string& unit) const {
  return fs::exists(directory_ / "state/active" / unit);
}

RunResult verifyUnitFile(const fs::path& unit) {
  TemporaryDirectory home;
  fs::create_directories(home / "run");
  chmod((home / "run").c_str(), 0700);
  RunOptions options;
  options.environment = {{"HOME", home.path().string()},
                         {"XDG_RUNTIME_DIR", (home / "run").string()},
                         {"XDG_CONFIG_HOME", std::nullopt},
                         {"SYSTEMD_LOG_COLOR", "0"}};
  return runProgram("/usr/bin/systemd-analyze", {"verify", "--user", unit.string()}, options);
}

}  // namespace corvane::test
