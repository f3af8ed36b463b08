#include "executor/cli/Help.h"

#include <algorithm>
#include <vector>

#include "executor/cli/Commands.h"
#include "localization/L10n.h"

namespace corvane {

namespace {

// Terminal columns of UTF-8 text: East Asian wide characters take two, so
// that translated option placeholders still line up.
size_t displayWidth(std::string_view text) {
  size_t width = 0;
  for (size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    size_t length = byte < 0x80 ? 1 : byte < 0xe0 ? 2 : byte < 0xf0 ? 3 : 4;
    char32_t point = length == 1 ? byte : byte & (0x7f >> length);
    for (size_t k = 1; k < length && i + k < text.size(); ++k)
      point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
    bool wide = (point >= 0x1100 && point <= 0x115f) || (point >= 0x2e80 && point <= 0xa4cf) ||
                (point >= 0xac00 && point <= 0xd7a3) || (point >= 0xf900 && point <= 0xfaff) ||
                (point >= 0xfe30 && point <= 0xfe4f) || (point >= 0xff00 && point <= 0xff60) ||
                (point >= 0xffe0 && point <= 0xffe6) || (point >= 0x20000 && point <= 0x3fffd);
    width += wide ? 2 : 1;
    i += length;
  }
  return width;
}

constexpr std::string_view about =
    L10n::key("Corvane times the Codex usage windows of your ChatGPT accounts; this tool is its executor.");

struct Row {
  std::string left;
  std::string right;
};

std::string optionSynopsis(const OptionSpec& option) {
  std::string synopsis;
  if (!option.shortName.empty()) synopsis = std::string(option.shortName) + ", ";
  synopsis += option.name;
  if (!option.value.empty()) synopsis += " " + L10n::text(option.value);
  return synopsis;
}

void appendRows(std::string& text, const std::vector<Row>& rows, size_t column) {
  for (const auto& row : rows)
    text += "  " + row.left + std::string(column - displayWidth(row.left), ' ') + row.right + "\n";
}

}  // namespace

std::string helpText(const Options& options) {
  std::vector<Row> commandRows, optionRows;
  for (const auto& command : commands()) {
    std::string summary = L10n::text(command.summary);
    if (!isAvailable(command)) summary = L10n::text("%1$@ (not in this version yet)", summary);
    commandRows.push_back({std::string(command.word), summary});
  }
  for (const auto& option : optionTable()) optionRows.push_back({optionSynopsis(option), L10n::text(option.summary)});
  size_t column = 0;
  for (const auto* rows : {&commandRows, &optionRows})
    for (const auto& row : *rows) column = std::max(column, displayWidth(row.left) + 2);

  std::string text = L10n::text(about);
  text += "\n\n" + L10n::text("Usage: corvane-mac [options] command") + "\n\n";
  text += L10n::text("Commands:") + "\n";
  appendRows(text, commandRows, column);
  text += "\n" + L10n::text("Options:") + "\n";
  appendRows(text, optionRows, column);
  text += "\n" + L10n::text("Data directory: %1$@", options.dataDirectory.string()) + "\n";
  return text;
}

std::string versionText() { return L10n::text("corvane-mac %1$@ (build %2$@)", CORVANE_VERSION, CORVANE_BUILD) + "\n"; }

}  // namespace corvane
