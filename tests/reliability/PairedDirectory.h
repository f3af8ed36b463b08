#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "dev-coordinator/testing/DevCoordinator.h"
#include "support/TemporaryDirectory.h"

namespace corvane::test {

// A data directory the built tool has paired with a development coordinator
// of its own, under the process's one throwaway keyring, and the command
// lines that run the tool on it with the fake runtime.
class PairedDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override;

  // corvane-mac's arguments for command on this directory.
  std::vector<std::string> arguments(const std::string& command) const;

  DevCoordinator server;
  TemporaryDirectory directory;
  std::filesystem::path data = directory / "Executor";
  // Where the agents' output streams go (AgentProcess).
  std::filesystem::path logs = directory / "logs";
};

}  // namespace corvane::test
