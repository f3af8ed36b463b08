// The event stream of a ping run ("exec --json"): one JSON object a line,
// each taken in by the outcome rules until they decide.
#include "FuzzSupport.h"
#include "executor/codex/JsonRpc.h"
#include "executor/codex/PingOutcome.h"
#include "executor/support/CVError.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view stream = fuzz::text(data, size);
  PingOutcome outcome;
  bool turnCompleted = false;
  while (!stream.empty()) {
    size_t end = stream.find('\n');
    std::string_view line = stream.substr(0, end);
    stream = end == std::string_view::npos ? std::string_view() : stream.substr(end + 1);
    Json event;
    try {
      event = decodeJsonRpcLine(line);
    } catch (const CVError&) {
      return 0;  // the run's result is then unknown
    }
    const Json* type = member(event, "type");
    turnCompleted = turnCompleted || (type && *type == "turn.completed");
    if (auto result = outcome.observe(event)) {
      fuzz::require(*result == "succeeded" || *result == "failed" || *result == "unknown", "an unknown result");
      fuzz::require(*result != "succeeded" || turnCompleted, "a success before the turn completed");
      return 0;
    }
  }
  return 0;
}
