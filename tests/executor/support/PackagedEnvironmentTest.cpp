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

// libplist aborts the whole process when asked to copy a key or a string
// that holds a NUL byte; such a file is refused like one that does not parse,
// so a NUL can neither end the tool nor cut an identifier down to one that
// passes.
TEST(PackagedEnvironmentTest, AKeyOrStringWithANulByteRefusesTheFile) {
  TemporaryDirectory temp;
  using namespace std::string_literals;
  auto plist = [](const std::string& identifier) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>CorvaneBuildChannel</key><string>production</string>"
           "<key>CFBundleIdentifier</key><string>"s +
           identifier + "</string></dict></plist>";
  };
  // A damaged binary list, as the fuzzer found it: one key holds a NUL.
  static const char binaryKey[] =
      "\x62\x70\x6c\x69\x73\x74\x30\x30\xd5\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x5f\x10\x12\x43\x46"
      "\x42\x75\x6e\x64\x6c\x65\x49\x64\x65\x6e\x74\x69\x66\x69\x65\x72\x5f\x10\x1a\x43\x46\x42\x75\x6e"
      "\x64\x6c\x65\x53\x68\x6f\x72\x74\x56\x65\x72\x73\x69\x6f\x6e\x53\x74\x72\x69\x6e\x67\x5f\x10\x0f"
      "\x43\x46\x42\x75\x6e\x64\x6c\x65\x56\x65\x72\x73\x69\x6f\x5f\x6e\x10\x13\x43\x6f\x00\x00\x00\x00"
      "\x0b\x00\x00\x00\x00\x00\x43\x68\x61\x6e\x6e\x65\x6c\x5b\x4c\x53\x55\x49\x45\x6c\x65\x6d\x65\x6e"
      "\x74\x5f\x10\x11\x2a\x6f\x6d\x2e\x63\x6f\x72\x76\x61\x6e\x65\x2e\x6d\x61\x63\x6f\x73\x50\x30\x2e"
      "\x31\x2e\x30\x51\x31\x5a\x70\x72\x6f\x64\x75\x63\x74\x69\x6f\x6e\x09\x08\x13\x28\x45\x57\x6d\x79"
      "\x8d\x93\x95\xa0\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x0b\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xa1";
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"in a string", plist("com.corvane.macos\0.staging"s)},
      {"in a key", std::string(binaryKey, sizeof binaryKey - 1)},
  };
  for (const auto& c : cases) {
    std::ofstream(temp / "Info.plist", std::ios::binary | std::ios::trunc) << c.bytes;
    EXPECT_THROW(readInfoPlist(temp / "Info.plist"), CVError) << c.name;
  }
  std::ofstream(temp / "Info.plist", std::ios::binary | std::ios::trunc) << plist("com.corvane.macos");
  EXPECT_EQ(PackagedEnvironment(readInfoPlist(temp / "Info.plist")).channel(), "production");
}

}  // namespace
}  // namespace corvane
