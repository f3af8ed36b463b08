#include "executor/support/Paths.h"

#include <string>

namespace corvane {

namespace fs = std::filesystem;

fs::path standardized(const fs::path& path) {
  fs::path normal = path.lexically_normal();
  std::string text = normal.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text.empty() ? fs::path(".") : fs::path(text);
}

bool entryExists(const fs::path& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

bool isSymbolicLink(const fs::path& path) {
  std::error_code error;
  return fs::is_symlink(fs::symlink_status(path, error));
}

fs::path expandTilde(const fs::path& path, const fs::path& home) {
  const std::string& text = path.native();
  if (text == "~") return home;
  if (text.rfind("~/", 0) == 0) return home / text.substr(2);
  return path;
}

bool isBundleExecutableDirectory(const fs::path& directory) {
  fs::path dir = standardized(directory);
  return dir.filename() == "MacOS" && dir.parent_path().filename() == "Contents";
}

}  // namespace corvane
