#include "executor/cli/Commands.h"

#include <gtest/gtest.h>

#include <set>

namespace corvane {
namespace {

// The tray app reads a coordinator's refusal of its sign-in steps as a status
// and every other failure as a failure: the set is its contract.
TEST(CommandsTest, OnlyTheSignInStepsReportACoordinatorFailureAsAStatus) {
  std::set<std::string_view> reporting;
  for (const auto& command : commands())
    if (command.reportsAuthErrorStatus) reporting.insert(command.word);
  EXPECT_EQ(reporting, (std::set<std::string_view>{"email-start", "email-verify", "pair-confirm"}));
}

}  // namespace
}  // namespace corvane
