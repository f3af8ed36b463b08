#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "executor/codex/CodexDiagnostics.h"
#include "executor/codex/CodexOperations.h"

namespace corvane {

class CodexProcess;

// The Codex runtime as account operations. Each operation prepares the
// account's private home, runs the runtime under the supervisor in a fresh
// throw-away working directory, and ends both before returning; an adapter
// keeps nothing between operations but its configuration. Copies work on
// different accounts at once; two operations on one account never run
// together because the agent reserves credentials.
class CodexAdapter : public CodexOperations {
 public:
  static constexpr std::string_view pingPrompt = "Reply with exactly OK. Do not use any tools.";

  // One sanitised support event of a runtime run: a failure or, for a
  // connect task, a step that succeeded.
  struct SupportEvent {
    std::string code;  // a failure code's raw value, or "codex_<stage>_succeeded"
    std::optional<CodexTaskLabel> task;
    std::optional<int> durationMs;
    std::optional<int> rpcCode;
    std::optional<int> httpStatus;
  };
  // Where support events go; it must not throw (an event that cannot be
  // kept is dropped).
  using SupportEventSink = std::function<void(const SupportEvent&)>;

  struct Configuration {
    std::filesystem::path directory;                  // the data directory; account homes live under it
    std::filesystem::path executable;                 // the Codex runtime
    std::string model;                                // the model of pings
    int guardFD = -1;                                 // the executor's lock, every runtime's descriptor 3
    std::optional<std::filesystem::path> supervisor;  // the executor's own image
    SupportEventSink supportEvents;                   // none: events are not kept
  };

  explicit CodexAdapter(Configuration configuration, std::optional<CodexTaskLabel> diagnosticTask = std::nullopt);

  std::unique_ptr<CodexOperations> forTask(const CodexTaskLabel& task) const override;
  Connection connect(const std::string& credentialID, double deadline, const Progress& progress) override;
  Json readAccount(const std::string& credentialID, double deadline) override;
  Json remove(const std::string& credentialID, double deadline) override;
  Json ping(const std::string& credentialID, double deadline) override;

  // Whether a verification address is one the user may be sent to
  // (corvane::isSignInAddress).
  static bool isSignInAddress(const std::string& address);

 private:
  template <typename Body>
  auto withServer(const std::string& credentialID, double deadline, Body body)
      -> decltype(body(std::declval<CodexProcess&>()));
  Json read(CodexProcess& process, const std::string& accountID, double deadline) const;
  void reportFailure(const CodexFailure& failure) const;
  void reportSuccess(const std::string& method, int milliseconds) const;

  Configuration configuration_;
  CodexDiagnostics diagnostics_;
  std::optional<CodexTaskLabel> diagnosticTask_;
};

}  // namespace corvane
