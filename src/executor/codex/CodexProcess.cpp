#include "executor/codex/CodexProcess.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "executor/codex/JsonRpc.h"
#include "executor/support/CVError.h"
#include "platform/Clock.h"

namespace corvane {

namespace {

constexpr double closeGrace = 2;
constexpr const char* loginCompletedMethod = "account/login/completed";

// The shortest text that reads back as the same double.
std::string shortestDecimal(double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

}  // namespace

CodexProcess::CodexProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                           const std::filesystem::path& directory,
                           const std::map<std::string, std::string>& environment, int guardFD, double deadline,
                           const std::optional<std::filesystem::path>& supervisor, FailureHandler onFailure,
                           SuccessHandler onSuccess)
    : CodexProcess(start(executable, arguments, directory, environment, guardFD, deadline, supervisor),
                   std::move(onFailure), std::move(onSuccess)) {}

CodexProcess::CodexProcess(platform::ChildProcess child, FailureHandler onFailure, SuccessHandler onSuccess)
    : pid_(child.pid()),
      channel_(child.takePipe(0), child.takePipe(1)),
      child_(std::move(child)),
      onFailure_(std::move(onFailure)),
      onSuccess_(std::move(onSuccess)),
      requestStarted_(platform::continuousSeconds()) {}

platform::ChildProcess CodexProcess::start(const std::filesystem::path& executable,
                                           const std::vector<std::string>& arguments,
                                           const std::filesystem::path& directory,
                                           const std::map<std::string, std::string>& environment, int guardFD,
                                           double deadline, const std::optional<std::filesystem::path>& supervisor) {
  if (!supervisor) throw CVError::runtime("runtime_unavailable");
  platform::SpawnPlan plan;
  plan.program = *supervisor;
  plan.arguments = {supervisor->string(), "--internal-codex-supervisor", std::to_string(getpid()),
                    shortestDecimal(deadline), executable.string()};
  plan.arguments.insert(plan.arguments.end(), arguments.begin(), arguments.end());
  plan.environment = environment;
  plan.descriptors = {platform::ChildDescriptor::pipeToChild(), platform::ChildDescriptor::pipeFromChild(),
                      platform::ChildDescriptor::nullDevice(), platform::ChildDescriptor::copyOf(guardFD)};
  plan.directory = directory;
  plan.newProcessGroup = true;
  auto child = platform::ChildProcess::spawn(plan);
  if (!child) throw CVError::runtime("runtime_unavailable");
  return std::move(*child);
}

CodexProcess::~CodexProcess() { close(); }

void CodexProcess::close() {
  if (closed_) return;
  closed_ = true;
  channel_.close();
  child_.terminate(closeGrace);
}

void CodexProcess::send(const Json& message, double deadline) {
  channel_.writeLine(encodeJsonRpcLine(message), deadline);
}

void CodexProcess::notify(std::string_view method, const Json& params, double deadline) {
  send(jsonRpcNotification(method, params), deadline);
}

Json CodexProcess::receive(double deadline) { return decodeJsonRpcLine(channel_.readLine(deadline)); }

void CodexProcess::observe(const Json& message, double deadline) {
  if (isJsonRpcServerRequest(message)) {
    send(jsonRpcUnsupported(message["id"]), deadline);
    return;
  }
  const Json* params = loginCompletionParams(message);
  if (!params) return;
  std::string loginID = (*params)["loginId"].get<std::string>();
  auto stored =
      std::find_if(completions_.begin(), completions_.end(), [&](const auto& entry) { return entry.first == loginID; });
  if (stored != completions_.end()) {
    stored->second = *params;
    return;
  }
  // A bounded store: completions nobody waits for must not pile up. The
  // oldest goes first.
  if (completions_.size() >= maximumStoredCompletions) completions_.erase(completions_.begin());
  completions_.emplace_back(std::move(loginID), *params);
}

int CodexProcess::elapsedMilliseconds() const {
  double milliseconds = (platform::continuousSeconds() - requestStarted_) * 1000;
  return static_cast<int>(std::clamp(milliseconds, 0.0, 86400000.0));
}

void CodexProcess::fail(CodexFailure failure) {
  failure.durationMs = elapsedMilliseconds();
  if (onFailure_) onFailure_(failure);
  throw CVError::runtime(failure.code.rawValue());
}

template <typename Body>
auto CodexProcess::reporting(std::string_view method, Body body) -> decltype(body()) {
  try {
    return body();
  } catch (const CVError& error) {
    if (error.kind() == CVError::Kind::runtime && CodexFailureCode::parse(error.message())) throw;
    fail(CodexFailure::transport(error, method));
  } catch (const std::exception& error) {
    fail(CodexFailure::transport(error, method));
  }
}

Json CodexProcess::request(std::string_view method, const std::optional<Json>& params, double deadline) {
  requestStarted_ = platform::continuousSeconds();
  int64_t id = ++nextID_;
  return reporting(method, [&]() -> Json {
    send(jsonRpcRequest(id, method, params), deadline);
    while (true) {
      Json message = receive(deadline);
      if (!isJsonRpcResponse(message, id)) {
        observe(message, deadline);
        continue;
      }
      if (const Json* error = member(message, "error"); error && !error->is_null())
        fail(CodexFailure::provider(error, method));
      const Json* result = member(message, "result");
      if (!result || !result->is_object()) throw CVError::runtime("protocol_error");
      if (onSuccess_) onSuccess_(std::string(method), elapsedMilliseconds());
      return *result;
    }
  });
}

void CodexProcess::waitLogin(const std::string& loginID, double deadline) {
  requestStarted_ = platform::continuousSeconds();
  reporting(loginCompletedMethod, [&] {
    while (true) {
      auto stored = std::find_if(completions_.begin(), completions_.end(),
                                 [&](const auto& entry) { return entry.first == loginID; });
      if (stored == completions_.end()) {
        observe(receive(deadline), deadline);
        continue;
      }
      Json params = std::move(stored->second);
      completions_.erase(stored);
      if (const Json* success = member(params, "success"); success && success->is_boolean() && success->get<bool>()) {
        if (onSuccess_) onSuccess_(loginCompletedMethod, elapsedMilliseconds());
        return;
      }
      fail(CodexFailure::provider(member(params, "error"), loginCompletedMethod));
    }
  });
}

}  // namespace corvane
