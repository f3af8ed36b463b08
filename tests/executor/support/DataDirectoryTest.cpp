#include "executor/support/DataDirectory.h"

#include <gtest/gtest.h>

#include <string>

namespace corvane {
namespace {

// The per-id entries take their id from outside (the coordinator, the Codex
// runtime): an id that could climb out of its folder names nothing.
TEST(DataDirectoryTest, PerIdEntriesStayInsideTheirFolder) {
  const std::filesystem::path directory = "/data";
  EXPECT_EQ(DataDirectory::pendingLogin(directory, "login-1"), "/data/pending-logins/login-1.json");
  EXPECT_EQ(DataDirectory::codexHome(directory, "acct_2"), "/data/codex/acct_2");
  const std::string ids[] = {"", "..", ".", "a/b", "/etc", "x.json", std::string(129, 'a')};
  for (const auto& id : ids) {
    EXPECT_FALSE(DataDirectory::pendingLogin(directory, id)) << id;
    EXPECT_FALSE(DataDirectory::codexHome(directory, id)) << id;
  }
}

}  // namespace
}  // namespace corvane
