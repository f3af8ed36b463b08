#pragma once

#include <functional>

#include "Router.h"

namespace corvane::devcoordinator {

class CoordinatorState;
class FaultPlan;
class RequestLog;

// The test's side door, served on its own loopback port under "/_control/":
// plays the phone app (pairing codes, approvals), reads the "mail", shows the
// request log and scripts faults. Every call is a POST (or GET) with an
// optional JSON object body and answers a JSON object; README.md lists them.
class ControlApi {
 public:
  struct Hooks {
    std::function<Json()> status;       // the ready line's object
    std::function<void()> releaseHeld;  // drops connections a "hold" fault keeps open
  };

  ControlApi(CoordinatorState& state, RequestLog& log, FaultPlan& faults, Hooks hooks);
  void install(Router& router);

 private:
  Reply createPairingCode(const ApiRequest& request);
  Reply listMacPairings(const ApiRequest& request);
  Reply approveMacPairing(const ApiRequest& request);
  Reply emailCodes(const ApiRequest& request);
  Reply createSession(const ApiRequest& request);
  Reply devices(const ApiRequest& request);
  Reply requests(const ApiRequest& request);
  Reply addFault(const ApiRequest& request);
  Reply expire(const ApiRequest& request);
  Reply settings(const ApiRequest& request);
  Reply reset(const ApiRequest& request);

  CoordinatorState& state_;
  RequestLog& log_;
  FaultPlan& faults_;
  Hooks hooks_;
};

}  // namespace corvane::devcoordinator
