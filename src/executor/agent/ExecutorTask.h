#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "executor/support/Json.h"
#include "executor/support/Parsing.h"

namespace corvane {

// The kinds of work the coordinator offers, in the order offers of one answer
// are started: removals free accounts and never wait behind reads, and a
// sign-in that waits for the user goes last.
enum class TaskAction { remove, read, ping, connect };

// The wire form: "remove", "read", "ping", "connect".
std::string_view rawValue(TaskAction action);

// One task offer of the coordinator, validated. Built from untrusted JSON:
// the constructor is the only way to get one.
struct ExecutorTask {
  std::string id;
  std::string accountID;
  std::string credentialID;
  int64_t bindingVersion = 0;
  TaskAction action = TaskAction::read;
  WallTime expiresAt;
  // A ping scheduled by a trigger rather than asked for by the user: it is
  // sent only when the coordinator's preflight allows it.
  bool automatic = false;

  // Reads one offer object; the first rule broken throws CVError.invalid:
  // "Missing id" (accountId, credentialId) for an absent or empty string,
  // "Invalid task ID" for one that is not an identifier, "Unsupported task"
  // for an action outside the four, "Invalid binding version" unless it is a
  // positive whole JSON number (booleans and strings are not numbers),
  // parseTime's errors for expiresAt, "Invalid JSON object" for a payload
  // that is not an object and "Invalid task payload" for triggers that are
  // not an array. Other members are ignored.
  explicit ExecutorTask(const Json& offer);

  // Lower runs first: remove 0, read 1, ping 2, connect 3.
  int priority() const { return static_cast<int>(action); }

  bool operator==(const ExecutorTask&) const = default;
};

// A positive whole JSON number that fits a signed 64-bit integer; nothing for
// anything else (booleans, fractions, strings, zero, negatives, huge values).
std::optional<int64_t> positiveWholeNumber(const Json* value);

}  // namespace corvane
