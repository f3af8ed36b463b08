#include "executor/cli/DiagnosticsCommands.h"

#include "executor/cli/SecretInput.h"

#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "executor/codex/CodexDiagnostics.h"
#include "executor/coordinator/CoordinatorClient.h"
#include "executor/diagnostics/SupportDiagnostics.h"
#include "executor/support/CVError.h"
#include "localization/L10n.h"

namespace corvane {

namespace {

constexpr const char* invalidSettingText = "Invalid diagnostic setting";
constexpr const char* invalidDescriptionText = "Invalid problem description";

// Room for the longest description with every character escaped, and the
// object around it; a longer line is no input of ours.
constexpr size_t inputLineLimit = 65536;

// The JSON object on standard input; no input, or a blank line, is {}.
// tooLong is the failure for a line past the bound.
Json inputObject(const CVError& tooLong) {
  auto line = readInputLine(inputLineLimit);
  if (!line) throw tooLong;
  if (line->find_first_not_of(" \t\r") == std::string::npos) return Json::object();
  auto parsed = parseJSON(*line);
  if (!parsed) throw CVError::invalid(L10n::text("Invalid JSON"));
  return object(*parsed);
}

SupportDiagnostics supportDiagnostics(const Options& options) {
  return SupportDiagnostics(options.dataDirectory, DiagnosticMetadata::current());
}

}  // namespace

CommandOutput diagnosticsCommand(const Options& options) {
  WallTime now = currentWallTime();
  Json exported = CodexDiagnostics(options.dataDirectory).exportHistory(now);
  exported["events"] = supportDiagnostics(options).exportEvents(now)["events"];
  return exported;
}

CommandOutput diagnosticsSettingCommand(const Options& options) {
  Json input = inputObject(CVError::invalid(invalidSettingText));
  SupportDiagnostics diagnostics = supportDiagnostics(options);
  const Json* enabled = member(input, "enabled");
  if (!enabled || !enabled->is_boolean()) throw CVError::invalid(invalidSettingText);
  diagnostics.setEnabled(enabled->get<bool>(), currentWallTime());
  return diagnostics.status(currentWallTime());
}

CommandOutput supportReportCommand(const Options& options) {
  Json input = inputObject(CVError::invalid(SupportDiagnostics::reportTooLongText));
  SupportDiagnostics diagnostics = supportDiagnostics(options);
  CoordinatorClient client = coordinator(options.dataDirectory);
  const Json* description = member(input, "description");
  if (!description || !description->is_string()) throw CVError::invalid(invalidDescriptionText);
  diagnostics.submit(description->get<std::string>(), currentWallTime());
  // Problems of the upload stay in the diagnostics state for a later try;
  // the status printed says whether the report got through.
  diagnostics.flush(currentWallTime(),
                    [&client](const std::string& path, const Json& body) { return client.post(path, body); });
  return diagnostics.status(currentWallTime());
}

}  // namespace corvane
