#pragma once

#include <optional>
#include <string_view>

#include "executor/support/Json.h"

namespace corvane {

// What the event stream of a ping run proves, read one event at a time: an
// answer that arrived and a turn that completed. Anything else the runtime
// did (a tool, a command) means the prompt was not simply answered. Events
// that are not objects or carry no string "type" are skipped.
class PingOutcome {
 public:
  // Takes in the next event; the run's result once the stream has decided
  // it: "succeeded", "failed" or "unknown". Nothing while it is undecided.
  std::optional<std::string_view> observe(const Json& event);

 private:
  bool sawText_ = false;
};

}  // namespace corvane
