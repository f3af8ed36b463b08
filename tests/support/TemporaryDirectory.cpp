#include "support/TemporaryDirectory.h"

#include <stdlib.h>

#include <stdexcept>
#include <string>

namespace corvane::test {

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  // The canonical path, so tests can compare it with what the tool resolves.
  path_ = std::filesystem::canonical(pattern);
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code error;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, error);
  std::filesystem::remove_all(path_, error);
}

}  // namespace corvane::test
