#include "executor/support/PackagedEnvironment.h"

#include <plist/plist.h>

#include <memory>

#include "executor/support/CVError.h"
#include "executor/support/Paths.h"
#include "executor/support/PrivateFiles.h"
#include "platform/UserDirectories.h"

namespace corvane {

namespace fs = std::filesystem;

InfoDictionary readInfoPlist(const fs::path& file) {
  constexpr size_t limit = 1 << 20;
  auto bytes = readPrivateFile(file, limit);
  if (!bytes) throw CVError::storage();
  plist_t root = nullptr;
  plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &root);
  std::unique_ptr<void, decltype(&plist_free)> owner(root, plist_free);
  if (!root || plist_get_node_type(root) != PLIST_DICT) throw CVError::storage();

  InfoDictionary info;
  plist_dict_iter iterator = nullptr;
  plist_dict_new_iter(root, &iterator);
  while (iterator) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root, iterator, &key, &value);
    if (!key) break;
    if (value && plist_get_node_type(value) == PLIST_STRING) {
      char* text = nullptr;
      plist_get_string_val(value, &text);
      if (text) info.emplace(key, text);
      free(text);
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
