#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "Actions.h"
#include "FakeHome.h"
#include "LineWriter.h"

namespace corvane::fakecodex {

// The application server over standard input and output: one JSON-RPC message per line, answered with
// the real runtime's envelopes, results and error texts, as the home's sign-in state and scenario say.
// Single-threaded: delayed answers and sign-in completions are timers of the one poll loop, so a slow
// answer to one request does not hold up the others (as in the real runtime).
class AppServer {
 public:
  explicit AppServer(FakeHome& home);
  // Serves until standard input ends and nothing scheduled is left; returns the exit status.
  int run();

 private:
  // What stands between the runtime and the outside for one answer: taken from the scenario's
  // top level and changed for one call by a step's "failure".
  struct Conditions {
    bool offline = false;
    bool keyringUnavailable = false;
    std::optional<int> usageStatus;
    std::string usageBody = "upstream says no";
    std::optional<int> routingStatus;
    std::optional<int> deviceCodeStatus;
  };

  void handleLine(const std::string& line);
  void handleRequest(const Json& id, const std::string& method, const Json* params);
  void execute(const Json& id, const std::string& method, const Json& params, const Json& step, int count);
  void answerByDefault(const Json& id, const std::string& method, const Json& params, const Conditions& conditions,
                       int count);
  std::optional<std::string> invalidParams(const std::string& method, const Json* params) const;

  void initialize(const Json& id, const Json& params);
  void readAccount(const Json& id, const Conditions& conditions);
  void readRateLimits(const Json& id, const Json& params, const Conditions& conditions, int count);
  void startLogin(const Json& id, const Json& params, const Conditions& conditions, int count);
  void cancelLogin(const Json& id, const Json& params);
  void logout(const Json& id, const Conditions& conditions);
  void completeLogin(const std::string& loginId, bool success, const std::string& error, const Json& account);

  void result(const Json& id, const Json& value);
  void error(const Json& id, int code, const std::string& message);
  void schedule(long long delayMilliseconds, std::function<void()> action);
  std::optional<Json> account(const Conditions& conditions) const;
  Conditions conditions() const;

  FakeHome& home_;
  LineWriter out_;
  Actions actions_{out_};
  bool initialized_ = false;
  std::multimap<double, std::function<void()>> timers_;
  std::set<std::string> pendingLogins_;
};

}  // namespace corvane::fakecodex
