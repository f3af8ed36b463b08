#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace corvane {

// One string table in the ".strings" format, UTF-8:
//   /* comment */  "English key" = "translation";  // comment
// Strings take the escapes \" \\ \n \t \r and \uXXXX (UTF-16, surrogate pairs
// joined).
class StringsTable {
 public:
  struct ParseError : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  StringsTable() = default;

  // Throws ParseError, naming the line, on anything that is not a table.
  static StringsTable parse(std::string_view text);

  std::optional<std::string_view> find(std::string_view key) const;
  const std::map<std::string, std::string, std::less<>>& entries() const { return entries_; }

 private:
  std::map<std::string, std::string, std::less<>> entries_;
};

}  // namespace corvane
