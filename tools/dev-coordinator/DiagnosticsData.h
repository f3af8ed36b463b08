#pragma once

#include <string>
#include <vector>

#include "Reply.h"

namespace corvane::devcoordinator {

// What the service was sent as support diagnostics, and how it answers.
struct DiagnosticsData {
  // How a receipt is made. "correct" acknowledges exactly what was sent; the
  // others are the wrong receipts a test needs: for events "missing-id"
  // (the last id left out), "extra-id" (one more) and "empty" ({}); for
  // reports "foreign-id" (the right form, ending with another id),
  // "malformed" (not the CV- form) and "empty".
  std::string eventsReceipt = "correct";
  std::string reportsReceipt = "correct";
  std::vector<Json> events;   // each event once, by id, in the order first received
  std::vector<Json> reports;  // each report body once, by id, with "reportId" and "deviceId" added
};

}  // namespace corvane::devcoordinator
