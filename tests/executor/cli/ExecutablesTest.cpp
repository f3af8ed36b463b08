#include "executor/cli/Executables.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "executor/cli/Options.h"
#include "executor/cli/Run.h"
#include "executor/support/CVError.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::TemporaryDirectory;

void makeFile(const fs::path& path, mode_t mode) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "#!/bin/sh\n";
  chmod(path.c_str(), mode);
}

class PathVariable {
 public:
  explicit PathVariable(const std::string& value) {
    if (const char* old = std::getenv("PATH")) saved_ = old;
    setenv("PATH", value.c_str(), 1);
  }
  ~PathVariable() { setenv("PATH", saved_.c_str(), 1); }

 private:
  std::string saved_;
};

TEST(ExecutablesTest, ResolvesNamesOnPathAndPaths) {
  TemporaryDirectory temp;
  makeFile(temp / "first/tool", 0644);  // not executable: passed over
  makeFile(temp / "second/tool", 0755);
  makeFile(temp / "third/tool", 0755);
  fs::create_directories(temp / "dirs/tool");  // a directory is no executable
  PathVariable path("::" + (temp / "dirs").string() + ":" + (temp / "first").string() + ":" +
                    (temp / "second").string() + ":" + (temp / "third").string());

  EXPECT_EQ(resolveExecutable("tool"), temp / "second/tool");
  EXPECT_EQ(resolveExecutable((temp / "third/../third/tool").string()), temp / "third/tool");
  for (const std::string& missing : {std::string("absent"), (temp / "first/tool").string(), std::string("")}) {
    try {
      resolveExecutable(missing);
      ADD_FAILURE() << missing;
    } catch (const CVError& error) {
      EXPECT_EQ(std::string(error.what()), "Executable not found: " + missing);
    }
  }
}

TEST(ExecutablesTest, BundledCodexSitsBesideTheToolInContentsMacOS) {
  TemporaryDirectory temp;
  fs::path macos = temp / "Corvane.app/Contents/MacOS";
  makeFile(macos / "corvane-mac", 0755);
  EXPECT_FALSE(bundledCodexExecutable(macos / "corvane-mac"));  // no runtime yet
  makeFile(macos / "codex", 0644);
  EXPECT_FALSE(bundledCodexExecutable(macos / "corvane-mac"));  // not executable
  chmod((macos / "codex").c_str(), 0755);
  EXPECT_EQ(bundledCodexExecutable(macos / "corvane-mac"), macos / "codex");
  EXPECT_EQ(bundledCodexExecutable(macos / "../MacOS/./corvane-mac"), macos / "codex");

  makeFile(temp / "plain/codex", 0755);
  EXPECT_FALSE(bundledCodexExecutable(temp / "plain/corvane-mac"));
  makeFile(temp / "Other/MacOS/codex", 0755);
  EXPECT_FALSE(bundledCodexExecutable(temp / "Other/MacOS/corvane-mac"));
}

TEST(ExecutablesTest, ExplicitCodexWinsOverTheBundledOne) {
  TemporaryDirectory temp;
  fs::path macos = temp / "Corvane.app/Contents/MacOS";
  makeFile(macos / "codex", 0755);
  OptionsContext context{std::nullopt, "/home/u", "/", std::nullopt};

  Options explicitCodex({"--codex", "/opt/codex", "doctor"}, context);
  useBundledCodex(explicitCodex, macos / "corvane-mac");
  EXPECT_EQ(explicitCodex.codex, "/opt/codex");

  Options bundled({"doctor"}, context);
  useBundledCodex(bundled, macos / "corvane-mac");
  EXPECT_EQ(bundled.codex, (macos / "codex").string());

  Options unknownTool({"doctor"}, context);
  useBundledCodex(unknownTool, std::nullopt);
  EXPECT_EQ(unknownTool.codex, "codex");
}

}  // namespace
}  // namespace corvane
