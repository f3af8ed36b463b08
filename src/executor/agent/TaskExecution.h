#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "executor/agent/Agent.h"
#include "executor/agent/ExecutorTask.h"
#include "executor/codex/CodexOperations.h"
#include "executor/diagnostics/SupportDiagnostics.h"
#include "executor/support/Json.h"
#include "executor/support/Parsing.h"

namespace corvane {

// The body of a task's thread (AgentHooks::execute): claims the offer, journals
// the claim before anything irreversible happens, runs the action through the
// Codex operations and stores exactly one result for every claimed task, on
// every path. Pings go through the send protocol: the coordinator must permit
// the send and confirm its start, and the journal row moves to "sending" just
// before the start is announced, so that a restart after a crash knows which
// pings may have gone out.
//
// Before the claim nothing is stored: a duplicate, an expired offer and an
// offer while revoked return silently; claim errors are thrown. After the
// claim only a journal failure is thrown (CVError.storage, once the result
// step has run).
//
// Holds no state of its own; one object serves every task thread.
class TaskExecution {
 public:
  // diagnoseQuota(accountID, reason, report, httpStatus): records quota
  // diagnostics for an account.
  using QuotaDiagnostics = std::function<void(const std::string& accountID, const std::string& reason,
                                              const std::optional<Json>& report, std::optional<int> httpStatus)>;

  // Every operation must end this long before the lease expires (on the
  // coordinator's clock).
  static constexpr double leaseMargin = 5;
  // After a ping the account is sampled closely for this long.
  static constexpr double confirmationSeconds = 120;
  static constexpr size_t maximumLeaseLength = 256;

  // operations and diagnostics (when given) must outlive this object and
  // every task it runs.
  TaskExecution(CodexOperations& operations, const SupportDiagnostics* diagnostics,
                QuotaDiagnostics diagnoseQuota = {});

  void execute(Agent& agent, const ExecutorTask& offer) const;

  // execute as the agent's hook; the object must outlive the agent's tasks.
  std::function<void(Agent&, const ExecutorTask&)> hook() const;

  // The code a task outcome is logged with: code itself when it is 1 to 80
  // lower-case letters, digits and "_", else "executor_error", so that no
  // text from outside reaches the log.
  static std::string loggedCode(std::string_view code);

 private:
  struct Claim;

  void sendPing(Agent& agent, CodexOperations& operations, const ExecutorTask& task, const std::string& lease,
                double deadline, std::optional<WallTime> permit, Json& result) const;
  void preflight(Agent& agent, CodexOperations& operations, const ExecutorTask& task, const std::string& lease,
                 double deadline, Json& result) const;
  void complete(Agent& agent, const ExecutorTask& task, const Json& result, double start) const;
  void diagnose(const std::string& accountID, const std::string& reason, const Json& report) const;
  void recordEvent(Agent& agent, std::string_view code, const ExecutorTask& task,
                   std::optional<int64_t> durationMs) const;

  CodexOperations& operations_;
  const SupportDiagnostics* diagnostics_;
  QuotaDiagnostics diagnoseQuota_;
};

}  // namespace corvane
