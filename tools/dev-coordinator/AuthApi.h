#pragma once

#include "Router.h"

namespace corvane::devcoordinator {

class CoordinatorState;

// Signing a user in by an e-mailed six-digit code (/v1/auth/email/start,
// /verify) and ending the session (/v1/auth/logout). The "mail" is a line in
// the coordinator's log and an entry readable through the control port.
class AuthApi {
 public:
  explicit AuthApi(CoordinatorState& state);
  void install(Router& router);

 private:
  Reply start(const ApiRequest& request);
  Reply verify(const ApiRequest& request);
  Reply logout(const ApiRequest& request);

  CoordinatorState& state_;
};

}  // namespace corvane::devcoordinator
