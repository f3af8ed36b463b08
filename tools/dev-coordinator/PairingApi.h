#pragma once

#include "Router.h"

namespace corvane::devcoordinator {

class CoordinatorState;

// Pairing an executor: by the code the phone app shows (/v1/executor/pair),
// and the Mac-initiated flow that the phone or an e-mail session approves
// (/v1/mac-pairings/start, /poll, /confirm).
class PairingApi {
 public:
  explicit PairingApi(CoordinatorState& state);
  void install(Router& router);

 private:
  Reply pair(const ApiRequest& request);
  Reply start(const ApiRequest& request);
  Reply poll(const ApiRequest& request);
  Reply confirm(const ApiRequest& request);

  CoordinatorState& state_;
};

}  // namespace corvane::devcoordinator
