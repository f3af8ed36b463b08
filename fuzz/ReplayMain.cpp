// Runs a fuzz target over saved inputs, without libFuzzer: the normal build's
// tests feed each target its seed corpus this way, so a parser change that
// breaks on a known shape (or on an input that once crashed) fails the test
// run, and the sanitizer build checks the same inputs under ASan and UBSan.
//
// usage: <target> FILE-OR-DIRECTORY...   (directories are read one level deep)

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// Well above any seed; a larger file is a mistake in the corpus, not an input.
constexpr std::uintmax_t inputLimit = 1 << 20;

bool replay(const std::filesystem::path& file) {
  std::error_code error;
  std::uintmax_t size = std::filesystem::file_size(file, error);
  if (error || size > inputLimit) {
    std::fprintf(stderr, "%s: not a readable input of at most %ju bytes\n", file.c_str(), inputLimit);
    return false;
  }
  std::ifstream stream(file, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  if (!stream.good() && !stream.eof()) {
    std::fprintf(stderr, "%s: cannot be read\n", file.c_str());
    return false;
  }
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path argument(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(argument, error)) {
      for (const auto& entry : std::filesystem::directory_iterator(argument, error))
        if (entry.is_regular_file(error)) inputs.push_back(entry.path());
    } else {
      inputs.push_back(argument);
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s FILE-OR-DIRECTORY...\n", argc > 0 ? argv[0] : "replay");
    return 2;
  }
  std::sort(inputs.begin(), inputs.end());
  for (const auto& input : inputs) {
    std::printf("%s\n", input.c_str());
    std::fflush(stdout);
    if (!replay(input)) return 1;
  }
  std::printf("%zu inputs, no finding\n", inputs.size());
  return 0;
}
