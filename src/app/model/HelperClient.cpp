#include "app/model/HelperClient.h"

#include <unistd.h>

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "app/model/HelperError.h"
#include "app/model/WorkerThread.h"
#include "platform/CapturedRun.h"
#include "platform/SystemInfo.h"

namespace corvane::app {

std::map<std::string, std::string> HelperClient::toolEnvironment() {
  std::map<std::string, std::string> environment{{"PATH", "/usr/bin:/bin:/usr/sbin:/sbin"},
                                                 {"HOME", platform::homeDirectory().string()}};
  // The keyring (the Secret Service) is reached over the user's session bus;
  // without its address the tool could neither read nor store the Mac's
  // credentials. Nothing else of the app's environment reaches the tool.
  for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"})
    if (const char* value = std::getenv(name); value && *value) environment[name] = value;
  return environment;
}

HelperClient HelperClient::forBundle(const std::filesystem::path& bundle) {
  return HelperClient(bundle / "Contents/MacOS/corvane-mac");
}

std::string HelperClient::runBlocking(const std::vector<std::string>& arguments,
                                      const std::optional<std::string>& input, double timeout) const {
  // A secret or a report must fit the pipe in one go, before the child reads.
  std::size_t limit = arguments == std::vector<std::string>{"support-report"} ? 8192 : 512;
  if (input && input->size() > limit) throw HelperError(HelperError::Kind::failed);

  std::error_code error;
  if (!std::filesystem::is_regular_file(executable_, error) || access(executable_.c_str(), X_OK) != 0)
    throw HelperError(HelperError::Kind::unavailable);

  platform::CapturedRunPlan plan;
  plan.program = executable_;
  plan.arguments = arguments;
  plan.environment = toolEnvironment();
  if (input) plan.input = *input + "\n";
  plan.timeout = timeout;
  platform::CapturedRunResult result = platform::runCaptured(plan);
  switch (result.outcome) {
    case platform::CapturedRunResult::Outcome::notStarted:
      throw HelperError(HelperError::Kind::unavailable);
    case platform::CapturedRunResult::Outcome::timedOut:
      throw HelperError(HelperError::Kind::timedOut);
    case platform::CapturedRunResult::Outcome::finished:
      break;
  }
  // Standard error is drained and dropped: it is the tool's text for a
  // terminal, not for the app's screens.
  if (!result.exitedWithZero()) throw HelperError(HelperError::Kind::failed);

  nlohmann::json parsed = nlohmann::json::parse(result.output, nullptr, false);
  if (!parsed.is_discarded() && parsed.is_object()) {
    auto status = parsed.find("authErrorStatus");
    if (status != parsed.end() && status->is_number_integer()) {
      auto value = status->get<std::int64_t>();
      int code = value >= INT32_MIN && value <= INT32_MAX ? static_cast<int>(value) : -1;
      throw HelperError::authentication(code);
    }
  }
  return std::move(result.output);
}

QCoro::Task<std::string> HelperClient::run(std::vector<std::string> arguments, std::optional<std::string> input,
                                           double timeout) const {
  HelperClient client = *this;
  std::function<std::string()> work = [client, arguments, input, timeout] {
    return client.runBlocking(arguments, input, timeout);
  };
  co_return co_await WorkerThread<std::string>(work);
}

QCoro::Task<HelperSnapshot> HelperClient::snapshot() const {
  std::vector<std::string> arguments{"app-status"};
  std::string bytes = co_await run(arguments, std::nullopt, defaultTimeout);
  co_return HelperSnapshot::decode(bytes);
}

}  // namespace corvane::app
