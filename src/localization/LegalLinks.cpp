#include "localization/LegalLinks.h"

#include <cmark.h>

#include <memory>

#include "localization/L10n.h"

namespace corvane {

namespace {

std::string document(std::string_view path, const std::vector<std::string>& preferences) {
  std::string segment = L10n::language(preferences) == L10n::simplifiedChinese ? "zh-CN" : "en";
  return std::string(CORVANE_LEGAL_ORIGIN) + "legal/" + std::string(path) + "/" + segment + "/";
}

bool isWebAddress(std::string_view url) {
  for (std::string_view scheme : {"https://", "http://"})
    if (url.substr(0, scheme.size()) == scheme && url.size() > scheme.size()) return true;
  return false;
}

bool collectText(cmark_node* node, std::string& out);

// Appends the text of one inline node; false for anything but (emphasised)
// text, so a notice with images, HTML or nested links is not taken apart.
bool appendInline(cmark_node* node, std::string& out) {
  switch (cmark_node_get_type(node)) {
    case CMARK_NODE_TEXT:
    case CMARK_NODE_CODE:
      out += cmark_node_get_literal(node);
      return true;
    case CMARK_NODE_SOFTBREAK:
      out += ' ';
      return true;
    case CMARK_NODE_EMPH:
    case CMARK_NODE_STRONG:
      return collectText(node, out);
    default:
      return false;
  }
}

bool collectText(cmark_node* node, std::string& out) {
  for (cmark_node* child = cmark_node_first_child(node); child; child = cmark_node_next(child))
    if (!appendInline(child, out)) return false;
  return true;
}

}  // namespace

std::string LegalLinks::terms(const std::vector<std::string>& preferences) { return document("terms", preferences); }

std::string LegalLinks::privacy(const std::vector<std::string>& preferences) {
  return document("privacy", preferences);
}

std::optional<std::vector<NoticeRun>> LegalLinks::parseLinks(const std::string& markdown) {
  std::unique_ptr<cmark_node, decltype(&cmark_node_free)> root(
      cmark_parse_document(markdown.data(), markdown.size(), CMARK_OPT_VALIDATE_UTF8), cmark_node_free);
  if (!root) return std::nullopt;
  cmark_node* paragraph = cmark_node_first_child(root.get());
  if (!paragraph || cmark_node_get_type(paragraph) != CMARK_NODE_PARAGRAPH || cmark_node_next(paragraph))
    return std::nullopt;

  std::vector<NoticeRun> runs;
  auto append = [&](std::string text, std::optional<std::string> link) {
    if (!link && !runs.empty() && !runs.back().link) {
      runs.back().text += text;
      return;
    }
    runs.push_back({std::move(text), std::move(link)});
  };
  for (cmark_node* node = cmark_node_first_child(paragraph); node; node = cmark_node_next(node)) {
    std::string text;
    if (cmark_node_get_type(node) == CMARK_NODE_LINK) {
      const char* url = cmark_node_get_url(node);
      if (!url || !isWebAddress(url) || !collectText(node, text)) return std::nullopt;
      append(std::move(text), std::string(url));
      continue;
    }
    if (!appendInline(node, text)) return std::nullopt;
    append(std::move(text), std::nullopt);
  }
  return runs;
}

SignInNotice LegalLinks::signInNotice(const std::vector<std::string>& preferences) {
  std::string markdown = L10n::localized(
      "By continuing, you agree to our [Terms of Service](%1$@) and acknowledge our [Privacy Policy](%2$@).",
      {terms(preferences), privacy(preferences)}, preferences);
  SignInNotice notice;
  if (auto runs = parseLinks(markdown)) {
    notice.runs = std::move(*runs);
    for (const auto& run : notice.runs) notice.text += run.text;
  } else {
    notice.text = markdown;
    notice.runs = {{markdown, std::nullopt}};
  }
  return notice;
}

}  // namespace corvane
