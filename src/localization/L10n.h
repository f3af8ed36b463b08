#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/SystemInfo.h"

namespace corvane {

// Every user-facing text of both programs is English in the code; that English
// text is the key into the "Localizable" table of the user's language. Keys
// passed to text(), localized() and key() as string literals are checked by a
// test to have a Simplified Chinese entry, so write each as a literal right in
// the call (adjacent literals, as clang-format breaks a long one, still count
// as one key).
class L10n {
 public:
  static constexpr std::string_view english = "en";
  static constexpr std::string_view simplifiedChinese = "zh-Hans";

  // The supported language ("en" or "zh-Hans") that best matches the ordered
  // preferences; "en" when none does. Accepts POSIX locale names
  // ("zh_CN.UTF-8") and BCP 47 tags ("zh-Hans-CN") alike.
  static std::string language(const std::vector<std::string>& preferences);

  // The translation of key for preferences, formatted with arguments. With no
  // arguments the text is returned as it stands, "%" included; otherwise
  // "%1$@", "%2$@" (and "%@", "%%") are replaced. A missing translation is
  // the key itself; only a program without its string tables at all fails,
  // with ResourceBundle::NotFound.
  static std::string localized(std::string_view key, const std::vector<std::string>& arguments,
                               const std::vector<std::string>& preferences);

  // localized() with the user's current preferred languages.
  template <typename... Arguments>
  static std::string text(std::string_view key, Arguments&&... arguments) {
    return localized(key, {std::string(std::forward<Arguments>(arguments))...}, platform::preferredLanguages());
  }

  // Marks a key kept in a table and translated later, so the key check sees it.
  static constexpr std::string_view key(std::string_view english_text) { return english_text; }

  // printf-style substitution of string arguments ("%1$@", "%@", "%%").
  static std::string format(std::string_view format, const std::vector<std::string>& arguments);
};

}  // namespace corvane
