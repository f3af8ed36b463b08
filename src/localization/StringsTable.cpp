#include "localization/StringsTable.h"

#include <cstdint>

namespace corvane {

namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") position_ = 3;  // byte-order mark
  }

  StringsTable::ParseError error(const std::string& what) const {
    int line = 1;
    for (size_t i = 0; i < position_ && i < text_.size(); ++i) line += text_[i] == '\n';
    return StringsTable::ParseError("line " + std::to_string(line) + ": " + what);
  }

  // Skips white space and comments; false at the end of the text.
  bool skipSpace() {
    while (position_ < text_.size()) {
      char c = text_[position_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        ++position_;
      } else if (text_.substr(position_, 2) == "//") {
        auto end = text_.find('\n', position_);
        position_ = end == std::string_view::npos ? text_.size() : end;
      } else if (text_.substr(position_, 2) == "/*") {
        auto end = text_.find("*/", position_ + 2);
        if (end == std::string_view::npos) throw error("unterminated comment");
        position_ = end + 2;
      } else {
        return true;
      }
    }
    return false;
  }

  void expect(char c) {
    if (!skipSpace() || text_[position_] != c) throw error(std::string("expected '") + c + "'");
    ++position_;
  }

  std::string quoted() {
    expect('"');
    std::string value;
    while (true) {
      if (position_ >= text_.size()) throw error("unterminated string");
      char c = text_[position_++];
      if (c == '"') return value;
      if (c != '\\') {
        value += c;
        continue;
      }
      if (position_ >= text_.size()) throw error("unterminated escape");
      char e = text_[position_++];
      switch (e) {
        case 'n':
          value += '\n';
          break;
        case 't':
          value += '\t';
          break;
        case 'r':
          value += '\r';
          break;
        case '"':
          value += '"';
          break;
        case '\\':
          value += '\\';
          break;
        case 'u':
        case 'U':
          appendUtf8(value, unicodeEscape());
          break;
        default:
          throw error(std::string("unknown escape \\") + e);
      }
    }
  }

 private:
  uint32_t hex4() {
    if (position_ + 4 > text_.size()) throw error("short \\u escape");
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text_[position_++];
      value <<= 4;
      if (c >= '0' && c <= '9')
        value |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        value |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        value |= static_cast<uint32_t>(c - 'A' + 10);
      else
        throw error("bad \\u escape");
    }
    return value;
  }

  uint32_t unicodeEscape() {
    uint32_t unit = hex4();
    if (unit < 0xD800 || unit > 0xDFFF) return unit;
    if (unit > 0xDBFF || text_.substr(position_, 2) != "\\u") throw error("lone surrogate");
    position_ += 2;
    uint32_t low = hex4();
    if (low < 0xDC00 || low > 0xDFFF) throw error("lone surrogate");
    return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
  }

  static void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::string_view text_;
  size_t position_ = 0;
};

}  // namespace

StringsTable StringsTable::parse(std::string_view text) {
  StringsTable table;
  Parser parser(text);
  while (parser.skipSpace()) {
    std::string key = parser.quoted();
    parser.expect('=');
    std::string value = parser.quoted();
    parser.expect(';');
    if (!table.entries_.emplace(std::move(key), std::move(value)).second) throw parser.error("duplicate key");
  }
  return table;
}

std::optional<std::string_view> StringsTable::find(std::string_view key) const {
  auto found = entries_.find(key);
  if (found == entries_.end()) return std::nullopt;
  return std::string_view(found->second);
}

}  // namespace corvane
