// corvane-mac moved out of the build tree, as a package installs it: it finds
// its texts in its own application bundle or nowhere, and a missing bundle is
// its one line of failure, not a crash.

#include <gtest/gtest.h>

#include "localization/ResourceBundle.h"
#include "support/ReadFile.h"
#include "support/RunResult.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::RunOptions;
using test::RunResult;

const fs::path tool = CORVANE_TOOL_PATH;

RunResult runIn(const fs::path& program, const fs::path& home, const std::vector<std::string>& arguments) {
  RunOptions options;
  options.environment = {{"HOME", home.string()},
                         {"LANGUAGE", "zh_CN.UTF-8"},
                         {"LC_ALL", std::nullopt},
                         {"LC_MESSAGES", std::nullopt},
                         {"LANG", std::nullopt}};
  return test::runProgram(program, arguments, options);
}

// The test programs look in the build tree after their own place; the tool
// must neither look there nor carry the path at all.
TEST(RelocatedToolTest, TheToolCarriesNoBuildTreePath) {
  std::vector<fs::path> buildTree = ResourceBundle::fallbackPlaces();
  ASSERT_EQ(buildTree.size(), 1u) << "this test program should look in the build tree";
  std::string bytes = test::readFile(tool);
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(bytes.find(buildTree[0].string()), std::string::npos) << buildTree[0];
}

TEST(RelocatedToolTest, WithoutItsBundleTheToolFailsWithOneLine) {
  test::TemporaryDirectory temp;
  fs::copy_file(tool, temp / "corvane-mac");
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{}, {"--version"}, {"--bogus"}}) {
    RunResult result = runIn(temp / "corvane-mac", temp.path(), arguments);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "Corvane: unable to find bundle named CorvaneMac_CorvaneLocalization\n");
    EXPECT_EQ(result.out, "");
  }
}

TEST(RelocatedToolTest, InACopyOfTheApplicationBundleTheToolFindsItsOwnTexts) {
  test::TemporaryDirectory temp;
  fs::copy(tool.parent_path().parent_path().parent_path(), temp / "Corvane.app", fs::copy_options::recursive);
  RunResult result = runIn(temp / "Corvane.app/Contents/MacOS/corvane-mac", temp.path(), {"--bogus"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Corvane: 未知参数：--bogus\n");
}

}  // namespace
}  // namespace corvane
