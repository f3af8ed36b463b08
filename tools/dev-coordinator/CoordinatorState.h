#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "DiagnosticsData.h"
#include "Reply.h"

namespace corvane::devcoordinator {

using Clock = std::chrono::system_clock;
using Time = Clock::time_point;

// "2026-01-02T03:04:05Z": the form the service writes its times in.
std::string formatTime(Time time);

// Limits a test can change at run time (control "settings").
struct Settings {
  std::chrono::seconds pairingCodeLifetime{600};
  std::chrono::seconds macPairingLifetime{600};
  std::chrono::seconds emailCodeLifetime{600};
  std::chrono::seconds emailResendInterval{30};  // a second code for one address sooner than this is 429
  int emailCodesPerHour = 10;                    // and so is one more than this within an hour
  int emailMaxAttempts = 5;                      // wrong codes a challenge survives
  std::string defaultEmail = "owner@example.com";

  Json toJson() const;
  // Applies the members present in changes; std::invalid_argument when one is wrong.
  void update(const Json& changes);
};

// A paired executor, as the service remembers it.
struct Device {
  std::string deviceId;
  std::string token;
  std::string name;
  std::optional<std::string> email;  // absent: the pairing answer leaves "email" out
};

// A code the phone app shows for pairing an executor in a terminal.
struct PairingCode {
  std::string code;  // "XXXX-XXXX"
  Device device;     // what the pairing hands out (the name comes from the request)
  Time expiresAt;
  bool used = false;
};

// A pairing that a Mac started and the phone (or an e-mail session) approves.
struct MacPairing {
  enum class Stage { pending, approved, consumed };
  std::string id;
  std::string code;
  std::string pollToken;
  std::string name;
  Time createdAt;
  Time expiresAt;
  Stage stage = Stage::pending;
  Device device;  // set on approval
};

struct EmailChallenge {
  std::string id;
  std::string email;
  std::string code;  // six digits
  std::string language;
  Time expiresAt;
  int attemptsLeft = 0;
  bool used = false;
};

// A signed-in user (after e-mail verification); ends at logout.
struct Session {
  std::string token;
  std::string email;
};

struct StateData {
  Settings settings;
  std::vector<PairingCode> pairingCodes;
  std::vector<MacPairing> macPairings;
  std::vector<EmailChallenge> emailChallenges;
  std::map<std::string, std::vector<Time>> emailCodesSent;  // by lower-cased address, oldest first
  std::map<std::string, Session> sessions;                  // by token
  std::map<std::string, Device> devices;                    // by device id
  DiagnosticsData diagnostics;
};

// The service's memory. Handlers hold the lock only for the duration of one
// access() call, never across I/O. Thread-safe.
class CoordinatorState {
 public:
  explicit CoordinatorState(Settings initial = {});

  template <class Function>
  auto access(Function&& function) {
    std::lock_guard lock(mutex_);
    return function(data_);
  }

  // Forgets everything and goes back to the settings it started with.
  void reset();

 private:
  std::mutex mutex_;
  Settings initial_;
  StateData data_;
};

}  // namespace corvane::devcoordinator
