#include "app/ui/BundleReader.h"

#include <plist/plist.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

#include "platform/SystemInfo.h"

namespace corvane::app::ui {
namespace {

// Info.plist is a small file; anything larger is not ours.
constexpr std::uintmax_t maximumInfoSize = 1 << 20;

std::optional<std::string> stringValue(plist_t dictionary, const char* key) {
  plist_t node = plist_dict_get_item(dictionary, key);
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  char* text = nullptr;
  plist_get_string_val(node, &text);
  if (!text) return std::nullopt;
  std::string value = text;
  free(text);
  return value;
}

}  // namespace

BundleInfo readBundleInfo(const std::filesystem::path& bundle) {
  BundleInfo info;
  info.bundle = bundle;
  info.home = platform::homeDirectory();
  info.hostName = platform::localizedHostName();
  info.systemVersion = platform::operatingSystemVersion().text();

  std::filesystem::path file = bundle / "Contents/Info.plist";
  std::error_code error;
  auto status = std::filesystem::symlink_status(file, error);
  if (error || !std::filesystem::is_regular_file(status)) return info;
  auto size = std::filesystem::file_size(file, error);
  if (error || size > maximumInfoSize) return info;
  std::ifstream input(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  std::unique_ptr<void, decltype(&plist_free)> owner(root, plist_free);
  if (!root || plist_get_node_type(root) != PLIST_DICT) return info;

  info.bundleIdentifier = stringValue(root, "CFBundleIdentifier");
  info.coordinatorURL = stringValue(root, "CorvaneCoordinatorURL");
  info.buildChannel = stringValue(root, "CorvaneBuildChannel");
  info.publicEDKey = stringValue(root, "SUPublicEDKey");
  info.shortVersion = stringValue(root, "CFBundleShortVersionString");
  info.buildVersion = stringValue(root, "CFBundleVersion");
  return info;
}

}  // namespace corvane::app::ui
