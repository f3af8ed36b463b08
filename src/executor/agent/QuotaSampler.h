#pragma once

#include <optional>
#include <string>

#include "executor/agent/Agent.h"
#include "executor/codex/CodexOperations.h"
#include "executor/support/CVError.h"
#include "executor/support/Json.h"

namespace corvane {

// Watches the usage limits of the accounts the coordinator planned: one pass
// over the agent's sampling plans reads every account that is due through
// the Codex runtime, turns the reading into a quota report kept in the
// journal's outbox, and sends it to the coordinator until it is
// acknowledged. The agent's sampler thread runs a pass about once a second
// (install sample as AgentHooks::sampleQuota).
//
// A reading is due at once for a fresh cursor and once a planned reset time
// has passed, then every 15 s in the foreground or while a change is being
// confirmed, else every plan interval, and a report goes out at least every
// 300 s. A report still in the outbox is sent again as it is while it is
// fresh, and read afresh first when it is not.
//
// Each account's work holds its credential in the agent's busy set and
// counts as one of the agent's read/ping slots, exactly as a read task does.
// The agent's lock is taken only for short checks and cursor updates, never
// across a read, a journal call or a request.
class QuotaSampler {
 public:
  static constexpr double foregroundSeconds = 15;
  // The longest a Codex read may take.
  static constexpr double readSeconds = 45;
  // The pause on an account after a failure or an unacknowledged recovery.
  static constexpr double retrySeconds = 15;

  // codex must outlive the sampler; only the sampler thread calls it.
  explicit QuotaSampler(CodexOperations& codex) : codex_(codex) {}

  // One pass over the plans, in account order. Fails with "Missing server
  // time" before the first synchronisation, with the journal's error when
  // an account's outbox entry cannot be read, and with the offer handling's
  // error for an answer that carries bad offers; everything that goes wrong
  // within one account's report is recorded in the quota diagnostics and
  // retried after retrySeconds.
  void sample(Agent& agent);

 private:
  struct Work {
    QuotaSamplingPlan plan;
    std::optional<Json> pending;
    bool resetDue;
    WallTime serverNow;
    double now;
  };

  // The report cycle of one claimed account; returns the upload's answer
  // when there was one. Never fails.
  std::optional<Json> report(Agent& agent, const Work& work);
  void failed(Agent& agent, const Work& work, const std::string& outcome, const std::optional<CVError>& error,
              bool hadPending);

  CodexOperations& codex_;
};

}  // namespace corvane
