#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace corvane::test {

// The whole content of file; empty when it cannot be read.
inline std::string readFile(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), {}};
}

// Replaces the content of file (following links, as a test planting one wants).
inline void writeFile(const std::filesystem::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
}

// The permission bits of path itself (a link is not followed).
inline mode_t modeOf(const std::filesystem::path& path) {
  struct stat info {};
  lstat(path.c_str(), &info);
  return info.st_mode & 07777;
}

}  // namespace corvane::test
