#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "executor/support/Json.h"

namespace corvane {

// What a copy of the adapter works for, so that its diagnostics name the
// task: the task's id, the account and the action ("connect", "read", ...).
struct CodexTaskLabel {
  std::string taskId;
  std::string accountId;
  std::string action;
};

// The account operations the executor needs from the Codex runtime. Every
// operation runs a fresh runtime for one account and ends it before it
// returns. Deadlines are absolute continuousSeconds() readings.
class CodexOperations {
 public:
  // progress(verificationUrl, userCode): the user has something to do. It
  // may throw, which cancels the sign-in.
  using Progress = std::function<void(const std::string& verificationUrl, const std::string& userCode)>;

  struct Connection {
    Json data;                    // the account read after the sign-in
    std::string readStartedAt;    // ISO 8601, UTC, whole seconds
    std::string readCompletedAt;  // the same
  };

  virtual ~CodexOperations() = default;

  // A copy bound to task, for the task's diagnostics.
  virtual std::unique_ptr<CodexOperations> forTask(const CodexTaskLabel& task) const = 0;
  // Signs an account in by device code and reads it.
  virtual Connection connect(const std::string& credentialID, double deadline, const Progress& progress) = 0;
  // Reads a signed-in account: plan, e-mail, rate limits, window states and
  // reset evidence.
  virtual Json readAccount(const std::string& credentialID, double deadline) = 0;
  // Signs the account out and deletes its home; the clean-up receipt.
  virtual Json remove(const std::string& credentialID, double deadline) = 0;
  // Runs one prompt: {"result": "succeeded" | "failed" | "unknown"}. Never
  // fails.
  virtual Json ping(const std::string& credentialID, double deadline) = 0;
};

}  // namespace corvane
