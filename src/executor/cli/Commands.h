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

// One row of the command table, which drives the parser, the dispatch, the
// usage line and the help: what a command is and does lives in its row.
struct Command {
  std::string_view word;
  std::string_view summary;      // a few words for the help, an English L10n key
  bool inUsage = false;          // named by the usage line: the commands a person runs
  bool beforeDirectory = false;  // runs on the data directory as parsed, never creating it
  // A coordinator HTTP failure (CVError.network) is printed as
  // {"authErrorStatus": <status or 0>} with exit status 0, for the tray app's
  // sign-in screens to react to; for every other command it is a failure.
  bool reportsAuthErrorStatus = false;
  CommandHandler handler = nullptr;
};

// All 20 command words, in the order of the usage line and then the app's.
const std::array<Command, 20>& commands();

// The command for word; nullptr when word is not a command.
const Command* findCommand(std::string_view word);

// False for a command whose subsystem is not built yet: it fails, saying so.
bool isAvailable(const Command& command);

// The line that answers a run without a command, in the user's language:
// "Usage: corvane-mac [--data-dir PATH] " and the words of the commands in
// the usage line, separated by "|".
std::string usageLine();

}  // namespace corvane
