#pragma once

#include "Router.h"

namespace corvane::devcoordinator {

class CoordinatorState;

// Support diagnostics from a paired executor: sanitized events
// (/v1/executor/diagnostics, answered {"acceptedIds": [...]}) and problem
// reports (/v1/executor/support-reports, answered {"reportId": "CV-…-<id>"}),
// both for a device token only. Receipts are correct unless a test asks for
// a wrong one through the control call /_control/diagnostics; refusals and
// server errors are scripted faults.
class DiagnosticsApi {
 public:
  explicit DiagnosticsApi(CoordinatorState& state);
  void install(Router& router);
  // /_control/diagnostics on the control port.
  void installControl(Router& control);

 private:
  Reply events(const ApiRequest& request);
  Reply report(const ApiRequest& request);
  Reply control(const ApiRequest& request);

  CoordinatorState& state_;
};

}  // namespace corvane::devcoordinator
