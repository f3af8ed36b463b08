// The status and observation files of a data directory, as the executor and
// app-status read them back: the agent's health, the pairing record, the
// support diagnostics state, the Codex failure history, and an account
// home's window history and reset observation, which the next quota reading
// meets. The first byte picks the file, the rest is its content.
#include <fstream>

#include "FuzzSupport.h"
#include "executor/codex/CodexDiagnostics.h"
#include "executor/diagnostics/DiagnosticsState.h"
#include "executor/quota/QuotaWhitelist.h"
#include "executor/quota/ResetEvidence.h"
#include "executor/quota/WindowLifecycle.h"
#include "executor/state/AgentHealth.h"
#include "executor/state/AgentHealthFile.h"
#include "executor/state/PairingRecord.h"
#include "executor/support/CVError.h"
#include "executor/support/DataDirectory.h"
#include "executor/support/PrivateFiles.h"

using namespace corvane;
namespace fs = std::filesystem;

namespace {

const WallTime now = WallTime(std::chrono::seconds(1798761600));

void place(const fs::path& file, std::string_view bytes) {
  std::ofstream stream(file, std::ios::binary);
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!stream) std::abort();
}

void agentHealth(const fs::path& directory) {
  auto published = AgentHealthFile(directory / DataDirectory::agentHealth).read();
  if (!published) return;
  // The normalized record reads back as itself.
  Json written = published->health.json(published->updatedAt);
  auto again = AgentHealth::fromJSON(written);
  fuzz::require(again.has_value(), "a health record that does not read back");
  fuzz::require(again->health.json(again->updatedAt) == written, "a health record that changes when read back");
}

void pairingRecord(const fs::path& directory) {
  auto record = PairingRecord::read(directory);
  if (!record) return;
  fs::path copy = directory / "copy";
  fs::create_directory(copy);
  try {
    record->write(copy);
  } catch (const CVError&) {
    return;
  }
  fuzz::require(PairingRecord::read(copy) == record, "a pairing record that changes when written back");
}

void diagnosticsState(const fs::path& directory) {
  auto object = readJSONObjectFile(directory / DataDirectory::supportDiagnostics, statusFileLimit);
  if (!object) return;
  auto state = DiagnosticsState::decode(*object);
  if (!state) return;
  state->sanitize(now);
  fuzz::require(state->events.size() <= DiagnosticsState::maximumEvents, "too many events after sanitize");
  fuzz::require(state->reports.size() <= DiagnosticsState::maximumReports, "too many reports after sanitize");
  Json written = state->json();
  auto again = DiagnosticsState::decode(written);
  fuzz::require(again.has_value(), "a diagnostics state that does not read back");
  fuzz::require(*again == *state, "a diagnostics state that changes when read back");
}

void codexDiagnostics(const fs::path& directory) {
  CodexDiagnostics history(directory);
  auto entries = history.entries(now);
  fuzz::require(entries.size() <= CodexDiagnostics::maximumEntries, "too many Codex failures");
  for (const auto& entry : entries) fuzz::require(isSerializable(entry.json()), "an entry that cannot be written");
  try {
    compactJSON(history.exportHistory(now));
  } catch (const CVError&) {
    fuzz::require(false, "an exported history that cannot be written");
  }
}

// A reading of the runtime's shape, for the history files to meet.
const Json& rawLimits() {
  static const Json raw = Json::parse(R"({"rateLimits":{"limitId":"codex","primary":{"usedPercent":42,)"
                                      R"("windowDurationMins":300,"resetsAt":1798770000},"secondary":{"usedPercent":7,)"
                                      R"("windowDurationMins":10080,"resetsAt":1799300000}},"rateLimitResetCredits":)"
                                      R"({"availableCount":1,"credits":[{"id":"cred-1","resetType":"codexRateLimits",)"
                                      R"("status":"available","grantedAt":1798000000,"expiresAt":null}]}})");
  return raw;
}

void quotaHistory(const fs::path& home) {
  Json sample = {{"planType", "plus"}, {"email", "user@example.com"}, {"rateLimits", quotaWhitelist(rawLimits())}};
  try {
    Json phases = WindowLifecycle::record(sample, WindowLifecycle::stateFile(home), now);
    for (const auto& [window, phase] : phases.items())
      fuzz::require(phase == "active" || phase == "waiting" || phase == "unknown", "an unknown window phase");
    sample["windowStates"] = phases;
    ResetEvidence::readObservation(ResetEvidence::observationFile(home));
    ResetEvidence::observe(sample, rawLimits(), ResetEvidence::observationFile(home), now);
    WindowLifecycle::fingerprint(sample);
  } catch (const CVError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const fs::path& directory = fuzz::freshScratchDirectory();
  std::string_view content = fuzz::text(data + 1, size - 1);
  switch (data[0] % 6) {
    case 0:
      place(directory / DataDirectory::agentHealth, content);
      agentHealth(directory);
      break;
    case 1:
      place(directory / DataDirectory::pairingRecord, content);
      pairingRecord(directory);
      break;
    case 2:
      place(directory / DataDirectory::supportDiagnostics, content);
      diagnosticsState(directory);
      break;
    case 3:
      place(directory / DataDirectory::codexDiagnostics, content);
      codexDiagnostics(directory);
      break;
    case 4:
      place(WindowLifecycle::stateFile(directory), content);
      quotaHistory(directory);
      break;
    default:
      place(ResetEvidence::observationFile(directory), content);
      quotaHistory(directory);
      break;
  }
  return 0;
}
