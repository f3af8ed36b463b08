#include "executor/support/PackagedEnvironment.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <fstream>
#include <string>

#include "executor/support/CVError.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::TemporaryDirectory;

enum class Format { xml, binary };

void writePlist(const fs::path& file, const InfoDictionary& values, Format format) {
  plist_t root = plist_new_dict();
  for (const auto& [key, value] : values) plist_dict_set_item(root, key.c_str(), plist_new_string(value.c_str()));
  plist_dict_set_item(root, "CFBundleVersionNumber", plist_new_uint(7));  // a non-string value is ignored
  char* data = nullptr;
  uint32_t length = 0;
  if (format == Format::xml)
    plist_to_xml(root, &data, &length);
  else
    plist_to_bin(root, &data, &length);
  std::ofstream(file, std::ios::binary).write(data, length);
  free(data);
  plist_free(root);
}

TEST(PackagedEnvironmentTest, ChannelAndIdentifierMustBelongTogether) {
  struct Case {
    InfoDictionary info;
    const char* channel;  // nullptr: invalid
  };
  const Case cases[] = {
      {{{"CorvaneBuildChannel", "staging"}, {"CFBundleIdentifier", "com.corvane.macos.staging"}}, "staging"},
      {{{"CorvaneBuildChannel", "production"}, {"CFBundleIdentifier", "com.corvane.macos"}}, "production"},
      {{{"CorvaneBuildChannel", "production"}, {"CFBundleIdentifier", "com.corvane.macos.staging"}}, nullptr},
      {{{"CorvaneBuildChannel", "beta"}, {"CFBundleIdentifier", "com.corvane.macos"}}, nullptr},
      {{{"CorvaneBuildChannel", "Staging"}, {"CFBundleIdentifier", "com.corvane.macos.staging"}}, nullptr},
      {{{"CFBundleIdentifier", "com.corvane.macos"}}, nullptr},
      {{{"CorvaneBuildChannel", "production"}}, nullptr},
  };
  for (const auto& c : cases) {
    if (c.channel) {
      EXPECT_EQ(PackagedEnvironment(c.info).channel(), c.channel);
      continue;
    }
    try {
      PackagedEnvironment environment(c.info);
      ADD_FAILURE() << "accepted " << environment.channel();
    } catch (const CVError& error) {
      EXPECT_STREQ(error.what(), "Invalid packaged environment");
    }
  }
}

TEST(PackagedEnvironmentTest, DataDirectoryPerChannel) {
  PackagedEnvironment production({{"CorvaneBuildChannel", "production"}, {"CFBundleIdentifier", "com.corvane.macos"}});
  PackagedEnvironment staging(
      {{"CorvaneBuildChannel", "staging"}, {"CFBundleIdentifier", "com.corvane.macos.staging"}});
  EXPECT_EQ(production.dataDirectory("/home/u"), "/home/u/.local/share/corvane/Production/Executor");
  EXPECT_EQ(staging.dataDirectory("/home/u"), "/home/u/.local/share/corvane/Staging/Executor");
}

TEST(PackagedEnvironmentTest, CurrentReadsTheBundlesInfoPlistInEitherFormat) {
  TemporaryDirectory temp;
  fs::create_directories(temp / "Corvane.app/Contents/MacOS");
  fs::path tool = temp / "Corvane.app/Contents/MacOS/corvane-mac";

  EXPECT_FALSE(PackagedEnvironment::current(std::nullopt));
  EXPECT_FALSE(PackagedEnvironment::current(temp / "plain/corvane-mac"));
  EXPECT_FALSE(PackagedEnvironment::current(temp / "Contents/Other/corvane-mac"));
  EXPECT_THROW(PackagedEnvironment::current(tool), CVError);  // no Info.plist to read

  for (Format format : {Format::xml, Format::binary}) {
    writePlist(temp / "Corvane.app/Contents/Info.plist",
               {{"CorvaneBuildChannel", "production"}, {"CFBundleIdentifier", "com.corvane.macos"}}, format);
    auto environment = PackagedEnvironment::current(temp / "Corvane.app/Contents/MacOS/./corvane-mac");
    ASSERT_TRUE(environment);
    EXPECT_EQ(environment->channel(), "production");
  }

  std::ofstream(temp / "Corvane.app/Contents/Info.plist") << "not a property list";
  EXPECT_THROW(PackagedEnvironment::current(tool), CVError);
  std::ofstream(temp / "Corvane.app/Contents/Info.plist")
      << "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>";
  EXPECT_THROW(PackagedEnvironment::current(tool), CVError);
}

// libplist aborts the whole process when asked to copy a string that holds
// a NUL byte; such a value must be left out instead, and a NUL must never cut
// an identifier down to one that passes.
TEST(PackagedEnvironmentTest, AStringWithANulByteIsLeftOut) {
  TemporaryDirectory temp;
  using namespace std::string_literals;
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
      "<key>CorvaneBuildChannel</key><string>production</string>"
      "<key>CFBundleIdentifier</key><string>com.corvane.macos\0.staging</string>"
      "<key>CFBundleVersion</key><string>7</string></dict></plist>"s;
  std::ofstream(temp / "Info.plist", std::ios::binary) << xml;

  InfoDictionary info = readInfoPlist(temp / "Info.plist");
  EXPECT_EQ(info, (InfoDictionary{{"CorvaneBuildChannel", "production"}, {"CFBundleVersion", "7"}}));
  EXPECT_THROW(PackagedEnvironment{info}, CVError);
}

}  // namespace
}  // namespace corvane
