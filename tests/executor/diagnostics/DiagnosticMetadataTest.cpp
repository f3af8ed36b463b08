#include "executor/diagnostics/DiagnosticMetadata.h"

#include <gtest/gtest.h>

#include "support/Files.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

std::string plist(const std::string& entries) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries + "</dict></plist>\n";
}

TEST(DiagnosticMetadataTest, ComesFromTheBundlesInfoPlistAndTheSystem) {
  test::TemporaryDirectory directory;
  fs::path macos = directory / "Corvane.app/Contents/MacOS";
  fs::create_directories(macos);
  fs::path tool = macos / "corvane-mac";
  fs::path info = directory / "Corvane.app/Contents/Info.plist";
  const platform::OperatingSystemVersion system{6, 1, 0};

  struct Case {
    const char* name;
    std::optional<std::string> infoPlist;  // nothing: no file
    DiagnosticMetadata expected;
  };
  const Case cases[] = {
      {"both versions",
       plist("<key>CFBundleShortVersionString</key><string>1.4.2</string>"
             "<key>CFBundleVersion</key><string>317</string>"),
       {"1.4.2", "317", "0.146.0", "6.1.0"}},
      {"a version that is no string, one missing",
       plist("<key>CFBundleShortVersionString</key><integer>3</integer>"),
       {"unknown", "unknown", "0.146.0", "6.1.0"}},
      {"no dictionary",
       "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>",
       {"unknown", "unknown", "unknown", "6.1.0"}},
      {"not a property list", "{\"CFBundleVersion\": \"1\"}", {"unknown", "unknown", "unknown", "6.1.0"}},
      {"no Info.plist", std::nullopt, {"unknown", "unknown", "unknown", "6.1.0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(info);
    if (c.infoPlist) test::writeFile(info, *c.infoPlist);
    EXPECT_EQ(DiagnosticMetadata::of(tool, system), c.expected);
  }

  // A tool outside a bundle never reads an Info.plist that happens to lie
  // two levels up.
  test::writeFile(directory / "Info.plist", plist("<key>CFBundleVersion</key><string>9</string>"));
  fs::create_directories(directory / "bin");
  EXPECT_EQ(DiagnosticMetadata::of(directory / "bin/corvane-mac", system),
            (DiagnosticMetadata{"unknown", "unknown", "unknown", "6.1.0"}));
  EXPECT_EQ(DiagnosticMetadata::of(std::nullopt, system).codexVersion, "unknown");

  DiagnosticMetadata running = DiagnosticMetadata::current();
  EXPECT_TRUE(running.valid());
  EXPECT_EQ(std::count(running.macOS.begin(), running.macOS.end(), '.'), 2) << running.macOS;
}

TEST(DiagnosticMetadataTest, OnlyVersionNumbersAreValid) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"unknown", true},    {"14", true},           {"14.5.0", true},     {"1.2.3.4", true},
      {"1234567890", true}, {"12345678901", false}, {"1.2.3.4.5", false}, {"1.2.3b4", false},
      {"", false},          {"1..2", false},        {".1", false},        {"1.", false},
      {"Unknown", false},   {"1 2", false},         {"-1", false},        {"١.٢", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DiagnosticMetadata::isVersion(c.text), c.valid) << c.text;
    DiagnosticMetadata metadata{"1.0", c.text, "0.146.0", "6.1.0"};
    EXPECT_EQ(metadata.valid(), c.valid) << c.text;
  }
}

TEST(DiagnosticMetadataTest, DecodesOnlyFourStrings) {
  DiagnosticMetadata metadata{"1.0", "7", "0.146.0", "6.1.0"};
  EXPECT_EQ(DiagnosticMetadata::decode(metadata.json()), metadata);
  EXPECT_EQ(metadata.json(),
            (Json{{"appVersion", "1.0"}, {"appBuild", "7"}, {"codexVersion", "0.146.0"}, {"macOS", "6.1.0"}}));
  Json missing = metadata.json();
  missing.erase("macOS");
  Json number = metadata.json();
  number["appBuild"] = 7;
  for (const Json& bad : {missing, number, Json::array(), Json("1.0")})
    EXPECT_EQ(DiagnosticMetadata::decode(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace corvane
