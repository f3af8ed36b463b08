#include "localization/L10n.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "localization/ResourceBundle.h"

namespace corvane {

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Maps one preference to a supported language, or nothing. POSIX names lose
// their ".codeset" and "@modifier" parts; "_" and "-" both separate subtags.
// Chinese is Simplified unless the script or region says Traditional.
std::optional<std::string_view> match(std::string_view tag) {
  tag = tag.substr(0, tag.find_first_of(".@"));
  std::vector<std::string> subtags;
  size_t start = 0;
  while (start <= tag.size()) {
    size_t end = tag.find_first_of("-_", start);
    if (end == std::string_view::npos) end = tag.size();
    subtags.push_back(lower(tag.substr(start, end - start)));
    start = end + 1;
  }
  if (subtags.empty()) return std::nullopt;
  const std::string& language = subtags[0];
  if (language == "en") return L10n::english;
  if (language != "zh") return std::nullopt;
  for (size_t i = 1; i < subtags.size(); ++i) {
    const std::string& subtag = subtags[i];
    if (subtag == "hans") return L10n::simplifiedChinese;
    if (subtag == "hant") return std::nullopt;
    if (subtag.size() == 2 || subtag.size() == 3) {  // the first region decides
      if (subtag == "cn" || subtag == "sg" || subtag == "my") return L10n::simplifiedChinese;
      return std::nullopt;
    }
  }
  return L10n::simplifiedChinese;
}

}  // namespace

std::string L10n::language(const std::vector<std::string>& preferences) {
  for (const auto& preference : preferences)
    if (auto supported = match(preference)) return std::string(*supported);
  return std::string(english);
}

std::string L10n::localized(std::string_view key, const std::vector<std::string>& arguments,
                            const std::vector<std::string>& preferences) {
  const StringsTable& table = ResourceBundle::shared().table(language(preferences));
  std::string_view translated = table.find(key).value_or(key);
  if (arguments.empty()) return std::string(translated);
  return format(translated, arguments);
}

std::string L10n::format(std::string_view format, const std::vector<std::string>& arguments) {
  std::string out;
  out.reserve(format.size() + 32);
  size_t next = 0;  // the argument a plain "%@" takes
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%' || i + 1 >= format.size()) {
      out += c;
      continue;
    }
    if (format[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    if (format[i + 1] == '@') {
      if (next < arguments.size()) out += arguments[next];
      ++next;
      ++i;
      continue;
    }
    size_t j = i + 1;
    size_t index = 0;
    while (j < format.size() && std::isdigit(static_cast<unsigned char>(format[j])))
      index = index * 10 + static_cast<size_t>(format[j++] - '0');
    if (j > i + 1 && j + 1 < format.size() && format[j] == '$' && format[j + 1] == '@' && index >= 1) {
      if (index <= arguments.size()) out += arguments[index - 1];
      i = j + 1;
      continue;
    }
    out += c;  // not a placeholder we know: keep it as written
  }
  return out;
}

}  // namespace corvane
