#include "executor/support/PackagedEnvironment.h"

#include <plist/plist.h>

#include <cstring>
#include <memory>

#include "executor/support/CVError.h"
#include "executor/support/Paths.h"
#include "executor/support/PrivateFiles.h"
#include "platform/UserDirectories.h"

namespace corvane {

namespace fs = std::filesystem;

namespace {

// libplist aborts the whole process (an assertion) when asked to copy a key
// or a string that holds a NUL byte, which both formats can carry. Its XML
// writer keeps such bytes as they are, so a NUL in the written form is how
// such a list is recognised before anything is copied out of it.
bool holdsNulInText(plist_t root) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  bool found = !xml || std::memchr(xml, '\0', length) != nullptr;
  free(xml);
  return found;
}

}  // namespace

InfoDictionary readInfoPlist(const fs::path& file) {
  constexpr size_t limit = 1 << 20;
  auto bytes = readPrivateFile(file, limit);
  if (!bytes) throw CVError::storage();
  plist_t root = nullptr;
  plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &root);
  std::unique_ptr<void, decltype(&plist_free)> owner(root, plist_free);
  if (!root || plist_get_node_type(root) != PLIST_DICT || holdsNulInText(root)) throw CVError::storage();

  InfoDictionary info;
  plist_dict_iter iterator = nullptr;
  plist_dict_new_iter(root, &iterator);
  while (iterator) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root, iterator, &key, &value);
    if (!key) break;
    if (value && plist_get_node_type(value) == PLIST_STRING) {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(value, &length);
      if (text) info.emplace(key, std::string(text, static_cast<size_t>(length)));
    }
    free(key);
  }
  free(iterator);
  return info;
}

std::optional<PackagedEnvironment> PackagedEnvironment::current(const std::optional<fs::path>& executable) {
  if (!executable) return std::nullopt;
  fs::path directory = standardized(*executable).parent_path();
  if (!isBundleExecutableDirectory(directory)) return std::nullopt;
  return PackagedEnvironment(readInfoPlist(directory.parent_path() / "Info.plist"));
}

PackagedEnvironment::PackagedEnvironment(const InfoDictionary& info) {
  auto channel = info.find("CorvaneBuildChannel");
  auto identifier = info.find("CFBundleIdentifier");
  if (channel == info.end() || identifier == info.end()) throw CVError::invalid(invalidText);
  const char* expected = channel->second == "production" ? "com.corvane.macos"
                         : channel->second == "staging"  ? "com.corvane.macos.staging"
                                                         : nullptr;
  if (!expected || identifier->second != expected) throw CVError::invalid(invalidText);
  channel_ = channel->second;
}

fs::path PackagedEnvironment::dataDirectory(const fs::path& home) const {
  return platform::applicationSupportDirectory(home) / (channel_ == "production" ? "Production" : "Staging") /
         "Executor";
}

}  // namespace corvane
