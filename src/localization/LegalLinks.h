#pragma once

#include <optional>
#include <string>
#include <vector>

namespace corvane {

// A run of the sign-in notice: plain text, or text that links to link.
struct NoticeRun {
  std::string text;
  std::optional<std::string> link;

  friend bool operator==(const NoticeRun&, const NoticeRun&) = default;
};

// The sign-in notice as data any toolkit can render: the whole text, and the
// same text cut into runs, two of which link to the legal documents. When the
// translated notice does not parse into exactly that shape it is one plain run.
struct SignInNotice {
  std::string text;
  std::vector<NoticeRun> runs;
};

// The addresses of the legal documents on the service's website in the user's
// language: "<origin>legal/<document>/<en|zh-CN>/".
class LegalLinks {
 public:
  static std::string terms(const std::vector<std::string>& preferences);
  static std::string privacy(const std::vector<std::string>& preferences);
  static SignInNotice signInNotice(const std::vector<std::string>& preferences);

  // Parses Markdown text with inline links into runs; nothing when the text is
  // not one paragraph of plain text and absolute http(s) links.
  static std::optional<std::vector<NoticeRun>> parseLinks(const std::string& markdown);
};

}  // namespace corvane
