#pragma once

#include <filesystem>
#include <string>

namespace corvane::test {

// The whole content of file as bytes; "" when it cannot be opened.
std::string readFile(const std::filesystem::path& file);

}  // namespace corvane::test
