#include "localization/ResourceBundle.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "platform/Log.h"
#include "platform/SystemInfo.h"

namespace corvane {

namespace fs = std::filesystem;

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

// A table that cannot be read or parsed counts as empty: the texts fall back
// to English, which is better than refusing to run.
StringsTable readTable(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) return {};
  std::stringstream text;
  text << stream.rdbuf();
  try {
    return StringsTable::parse(text.str());
  } catch (const StringsTable::ParseError& error) {
    platform::Logger("executor").error("Unreadable string table " + file.string() + ": " + error.what());
    return {};
  }
}

}  // namespace

std::vector<fs::path> ResourceBundle::candidates(const std::optional<fs::path>& executable) {
  std::vector<fs::path> places;
  if (executable) {
    fs::path directory = executable->lexically_normal().parent_path();
    fs::path contents = directory.parent_path();
    if (directory.filename() == "MacOS" && contents.filename() == "Contents") places.push_back(contents / "Resources");
    places.push_back(directory);
  }
  return places;
}

std::optional<ResourceBundle> ResourceBundle::open(const std::vector<fs::path>& candidates) {
  for (const auto& place : candidates) {
    std::error_code error;
    fs::path bundle = place / directoryName;
    if (fs::is_directory(bundle, error)) return ResourceBundle(bundle);
  }
  return std::nullopt;
}

const ResourceBundle& ResourceBundle::shared() {
  // An initializer that throws leaves the bundle unset, to be looked for
  // again by the next call.
  static const ResourceBundle bundle = [] {
    std::vector<fs::path> places = candidates(platform::runningExecutable());
    for (auto& place : fallbackPlaces()) places.push_back(std::move(place));
    auto found = open(places);
    if (!found) throw NotFound();
    return std::move(*found);
  }();
  return bundle;
}

ResourceBundle::ResourceBundle(const fs::path& bundleDirectory) {
  std::error_code error;
  std::vector<fs::path> lprojs;
  for (const auto& entry : fs::directory_iterator(bundleDirectory, error))
    if (entry.path().extension() == ".lproj" && entry.is_directory(error)) lprojs.push_back(entry.path());
  std::sort(lprojs.begin(), lprojs.end());
  for (const auto& lproj : lprojs) {
    localizations_.push_back(lproj.stem().string());
    tables_.push_back(readTable(lproj / "Localizable.strings"));
  }
  defaultTable_ = readTable(bundleDirectory / "Localizable.strings");
}

const StringsTable& ResourceBundle::table(std::string_view language) const {
  for (size_t i = 0; i < localizations_.size(); ++i)
    if (equalsIgnoringCase(localizations_[i], language)) return tables_[i];
  return defaultTable_;
}

}  // namespace corvane
