#include "support/ReadFile.h"

#include <fstream>
#include <iterator>

namespace corvane::test {

std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace corvane::test
