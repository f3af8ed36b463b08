// The application bundle's Info.plist, XML or binary, and the packaged
// environment built from it.
#include <fstream>

#include "FuzzSupport.h"
#include "executor/support/CVError.h"
#include "executor/support/PackagedEnvironment.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::filesystem::path file = fuzz::scratchDirectory() / "Info.plist";
  {
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!stream) std::abort();
  }
  try {
    PackagedEnvironment environment(readInfoPlist(file));
    fuzz::require(environment.channel() == "staging" || environment.channel() == "production", "an unknown channel");
  } catch (const CVError&) {
  }
  return 0;
}
