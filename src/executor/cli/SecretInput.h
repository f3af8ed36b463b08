#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace corvane {

// Reads one secret line from standard input: writes prompt to standard error,
// switches terminal echo off while the line is typed (a pipe is read the same
// way, without the terminal step), then writes the newline the user's Return
// did not echo. Returns the line trimmed of surrounding white space; "" at
// the end of input. Never fails. The terminal's settings are restored even
// when the process is interrupted while reading.
std::string secretInput(const std::string& prompt);

// One line of standard input without its newline, read byte by byte so that
// nothing after it is taken from a shared input; nothing when it runs past
// limit bytes.
std::optional<std::string> readInputLine(size_t limit);

}  // namespace corvane
