#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/ServiceManager.h"
#include "support/RunResult.h"
#include "support/TemporaryDirectory.h"

namespace corvane::test {

// The stand-in user service manager (the fake-systemctl program) with its
// state and unit folders in a fresh temporary directory.
class ServiceManagerStandIn {
 public:
  ServiceManagerStandIn();

  // A manager that drives the stand-in.
  platform::ServiceManager manager() const;
  // The user's unit folder as the stand-in sees it (not created).
  std::filesystem::path unitFolder() const { return directory_ / "units"; }
  // Every call so far, its arguments after the program name, one per entry.
  std::vector<std::string> calls() const;
  // Makes verb ("daemon-reload", "enable", "disable") fail from now on.
  void refuse(const std::string& verb) const;
  bool isEnabled(const std::string& unit) const;
  bool isActive(const std::string& unit) const;

 private:
  TemporaryDirectory directory_;
};

// systemd-analyze verify --user of unit, with a private runtime folder so no
// user manager is needed. A unit passes when the status is 0 and nothing is
// printed: the manager reports ignored settings only as warnings.
RunResult verifyUnitFile(const std::filesystem::path& unit);

}  // namespace corvane::test
