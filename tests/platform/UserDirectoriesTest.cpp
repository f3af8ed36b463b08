#include "platform/UserDirectories.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace corvane::platform {
namespace {

TEST(UserDirectoriesTest, FollowTheXdgDefaultsOfTheHomeWhateverTheEnvironmentSays) {
  // A process started with only PATH and HOME must find what one started
  // from a full desktop session wrote.
  for (bool xdgSet : {false, true}) {
    SCOPED_TRACE(xdgSet ? "XDG variables set" : "XDG variables unset");
    for (const char* name : {"XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
      if (xdgSet)
        setenv(name, "/elsewhere", 1);
      else
        unsetenv(name);
    }
    EXPECT_EQ(applicationSupportDirectory("/home/u"), "/home/u/.local/share/corvane");
    EXPECT_EQ(logsDirectory("/home/u"), "/home/u/.local/state/corvane");
  }
}

}  // namespace
}  // namespace corvane::platform
