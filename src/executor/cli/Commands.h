#pragma once

#include <array>
#include <string>
#include <string_view>
#include <variant>

#include "executor/cli/Options.h"
#include "executor/support/Json.h"

namespace corvane {

// What a handler hands back for printing: nothing (it printed itself or has
// nothing to say), one JSON object, or one line of text for a person.
using CommandOutput = std::variant<std::monostate, Json, std::string>;

// A handler runs one command for options; failures are thrown.
using CommandHandler = CommandOutput (*)(const Options& options);

struct Command {
  std::string_view word;
  std::string_view summary;  // a few words for the help, an English L10n key
  bool inUsage;              // named by the usage text
  bool beforeDirectory;      // runs on the data directory as parsed, never creating it
  CommandHandler handler;
};

// All 20 command words, in the order of the usage text and then the app's.
const std::array<Command, 20>& commands();

// The command for word; nullptr when word is not a command.
const Command* findCommand(std::string_view word);

// False for a command whose subsystem is not built yet: it fails, saying so.
bool isAvailable(const Command& command);

}  // namespace corvane
