// The facilities of an installed tool: the module in the application bundle,
// Contents/Frameworks/libcorvane-facilities.so beside the tool's
// Contents/MacOS, found from the running executable (never from the
// environment, so nothing outside the bundle can put code into the tool).

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

#include "platform/Facilities.h"

namespace corvane::platform {

Facilities* loadFacilities(std::string& why) {
  std::error_code error;
  std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    why = "the running executable is unknown";
    return nullptr;
  }
  std::filesystem::path module = executable.parent_path().parent_path() / "Frameworks/libcorvane-facilities.so";
  // Never unloaded: the process keeps using what it hands out.
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* reason = dlerror();
    why = reason ? reason : module.string();
    return nullptr;
  }
  using Entry = Facilities* (*)();
  auto entry = reinterpret_cast<Entry>(dlsym(handle, "corvaneFacilities"));
  if (!entry) {
    why = module.string() + " has no entry point";
    return nullptr;
  }
  return entry();
}

}  // namespace corvane::platform
