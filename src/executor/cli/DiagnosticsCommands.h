#pragma once

#include "executor/cli/Commands.h"

namespace corvane {

// The support diagnostics commands the tray app runs. They work on the data
// directory as given, never creating it: the app may ask before anything
// was paired.

// diagnostics: the sanitized export, the Codex failure history with the
// support events under "events".
CommandOutput diagnosticsCommand(const Options& options);

// diagnostics-setting: reads {"enabled": <bool>} from one line of standard
// input, switches automatic diagnostics so, and prints the status.
CommandOutput diagnosticsSettingCommand(const Options& options);

// support-report: reads {"description": <string>} from one line of standard
// input, files the report, uploads it at once when the coordinator answers,
// and prints the status with the report's state and support number.
CommandOutput supportReportCommand(const Options& options);

}  // namespace corvane
