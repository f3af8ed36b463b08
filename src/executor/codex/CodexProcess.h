#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "executor/codex/CodexFailure.h"
#include "executor/codex/LineChannel.h"
#include "executor/support/Json.h"
#include "platform/ChildProcess.h"

namespace corvane {

// One Codex runtime child and the pipes to it. The runtime is never started
// directly: the executor's own executable runs between them in supervisor
// mode (runCodexSupervisor), so the runtime dies with the executor and at
// its deadline. Used as a JSON-RPC client of "app-server" (request,
// waitLogin) or as the reader of an "exec" event stream (receive).
//
// Every failure is a CVError. request and waitLogin classify theirs into a
// CodexFailure, report it once through onFailure and throw
// CVError.runtime(<failure code>). A process belongs to the thread that
// created it; nothing in it is locked. Destruction closes it.
class CodexProcess {
 public:
  using FailureHandler = std::function<void(const CodexFailure&)>;
  using SuccessHandler = std::function<void(const std::string& method, int milliseconds)>;

  static constexpr size_t maximumStoredCompletions = 8;

  // Starts supervisor in supervisor mode over executable with arguments, in
  // directory, with exactly environment, guardFD as its descriptor 3 and
  // /dev/null as its standard error, in a new process group. deadline is
  // an absolute continuousSeconds() reading at which the supervisor ends the
  // runtime. CVError.runtime "runtime_unavailable" when there is no
  // supervisor or the child cannot be started.
  CodexProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
               const std::filesystem::path& directory, const std::map<std::string, std::string>& environment,
               int guardFD, double deadline, const std::optional<std::filesystem::path>& supervisor,
               FailureHandler onFailure = {}, SuccessHandler onSuccess = {});
  ~CodexProcess();
  CodexProcess(const CodexProcess&) = delete;
  CodexProcess& operator=(const CodexProcess&) = delete;

  // Sends one numbered request (numbers count from 1 per process) and
  // returns its "result" object. Messages that are not its answer are
  // handled on the way: the runtime's own requests are refused, sign-in
  // completions are kept for waitLogin, late answers and other
  // notifications are dropped. The deadline bounds the writes as well as
  // the wait: a runtime that stops reading times out too.
  Json request(std::string_view method, const std::optional<Json>& params, double deadline);

  // Sends a notification (no answer is expected), waiting for a full pipe
  // until the deadline. CVError as for LineChannel::writeLine.
  void notify(std::string_view method, const Json& params, double deadline);

  // The next message as a JSON object (see LineChannel::readLine for the
  // failures; a line that is not a JSON object is "protocol_error").
  Json receive(double deadline);

  // Waits for the completion of the device-code sign-in loginID. Returns
  // when it succeeded; its error otherwise is classified and thrown.
  void waitLogin(const std::string& loginID, double deadline);

  // Closes the runtime's standard input (an exec run is sent nothing and
  // starts once its input ends); sending fails from then on.
  void closeInput() { channel_.closeInput(); }

  // Closes the pipes and ends the process group (supervisor and runtime);
  // blocks for at most about two seconds. Later calls do nothing.
  void close();

  // The supervisor's process identifier, which is also its group's.
  pid_t pid() const { return pid_; }

 private:
  static platform::ChildProcess start(const std::filesystem::path& executable,
                                      const std::vector<std::string>& arguments, const std::filesystem::path& directory,
                                      const std::map<std::string, std::string>& environment, int guardFD,
                                      double deadline, const std::optional<std::filesystem::path>& supervisor);
  CodexProcess(platform::ChildProcess child, FailureHandler onFailure, SuccessHandler onSuccess);

  void send(const Json& message, double deadline);
  void observe(const Json& message, double deadline);
  int elapsedMilliseconds() const;
  [[noreturn]] void fail(CodexFailure failure);
  // Runs body, turning what it throws into one reported failure of method;
  // failures already classified pass through untouched.
  template <typename Body>
  auto reporting(std::string_view method, Body body) -> decltype(body());

  pid_t pid_;
  LineChannel channel_;
  platform::ChildProcess child_;  // the supervisor
  bool closed_ = false;
  int64_t nextID_ = 0;
  std::vector<std::pair<std::string, Json>> completions_;  // oldest first
  FailureHandler onFailure_;
  SuccessHandler onSuccess_;
  double requestStarted_ = 0;
};

}  // namespace corvane
