#include "localization/ResourceBundle.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

TEST(ResourceBundleTest, AProgramLooksOnlyBesideItself) {
  struct Case {
    std::optional<fs::path> executable;
    std::vector<fs::path> places;
  };
  const Case cases[] = {
      {"/opt/Corvane.app/Contents/MacOS/corvane-mac",
       {"/opt/Corvane.app/Contents/Resources", "/opt/Corvane.app/Contents/MacOS"}},
      {"/opt/Corvane.app/Contents/MacOS/../MacOS/./corvane-mac",
       {"/opt/Corvane.app/Contents/Resources", "/opt/Corvane.app/Contents/MacOS"}},
      {"/usr/local/bin/corvane-mac", {"/usr/local/bin"}},
      {"/opt/Other/MacOS/corvane-mac", {"/opt/Other/MacOS"}},  // not in a Contents directory
      {std::nullopt, {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ResourceBundle::candidates(c.executable), c.places) << c.executable.value_or("(none)");
}

TEST(ResourceBundleTest, OpensTheFirstPlaceThatHoldsTheBundle) {
  test::TemporaryDirectory temp;
  fs::create_directories(temp / "empty");
  // A file by the bundle's name is not a bundle.
  fs::create_directories(temp / "file");
  std::ofstream(temp / "file" / ResourceBundle::directoryName) << "not a bundle";
  for (const char* place : {"first", "second"}) {
    fs::path lproj = temp / place / ResourceBundle::directoryName / "zh-Hans.lproj";
    fs::create_directories(lproj);
    std::ofstream(lproj / "Localizable.strings") << "\"Key\" = \"" << place << "\";\n";
  }

  EXPECT_FALSE(ResourceBundle::open({}));
  EXPECT_FALSE(ResourceBundle::open({temp / "empty", temp / "file", temp / "absent"}));
  auto bundle = ResourceBundle::open({temp / "empty", temp / "file", temp / "first", temp / "second"});
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->localizations(), std::vector<std::string>{"zh-Hans"});
  EXPECT_EQ(bundle->table("zh-hans").find("Key"), "first");
}

}  // namespace
}  // namespace corvane
