#include "CoordinatorState.h"

#include <ctime>
#include <stdexcept>

namespace corvane::devcoordinator {

std::string formatTime(Time time) {
  std::time_t seconds = Clock::to_time_t(time);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

Json Settings::toJson() const {
  return Json{{"pairingCodeLifetimeSeconds", pairingCodeLifetime.count()},
              {"macPairingLifetimeSeconds", macPairingLifetime.count()},
              {"emailCodeLifetimeSeconds", emailCodeLifetime.count()},
              {"emailResendIntervalSeconds", emailResendInterval.count()},
              {"emailCodesPerHour", emailCodesPerHour},
              {"emailMaxAttempts", emailMaxAttempts},
              {"defaultEmail", defaultEmail}};
}

void Settings::update(const Json& changes) {
  if (!changes.is_object()) throw std::invalid_argument("settings are a JSON object");
  Settings next = *this;
  auto seconds = [&](const char* key, std::chrono::seconds& slot) {
    if (!changes.contains(key)) return;
    const Json& value = changes[key];
    if (!value.is_number_integer() || value.get<long long>() < 0)
      throw std::invalid_argument(std::string("\"") + key + "\" is a whole number of seconds");
    slot = std::chrono::seconds(value.get<long long>());
  };
  for (const auto& [key, value] : changes.items()) {
    if (!toJson().contains(key)) throw std::invalid_argument("unknown setting \"" + key + "\"");
  }
  seconds("pairingCodeLifetimeSeconds", next.pairingCodeLifetime);
  seconds("macPairingLifetimeSeconds", next.macPairingLifetime);
  seconds("emailCodeLifetimeSeconds", next.emailCodeLifetime);
  seconds("emailResendIntervalSeconds", next.emailResendInterval);
  if (changes.contains("emailCodesPerHour")) {
    const Json& value = changes["emailCodesPerHour"];
    if (!value.is_number_integer() || value.get<int>() < 1)
      throw std::invalid_argument("\"emailCodesPerHour\" is at least 1");
    next.emailCodesPerHour = value.get<int>();
  }
  if (changes.contains("emailMaxAttempts")) {
    const Json& value = changes["emailMaxAttempts"];
    if (!value.is_number_integer() || value.get<int>() < 1)
      throw std::invalid_argument("\"emailMaxAttempts\" is at least 1");
    next.emailMaxAttempts = value.get<int>();
  }
  if (changes.contains("defaultEmail")) {
    if (!changes["defaultEmail"].is_string()) throw std::invalid_argument("\"defaultEmail\" is a string");
    next.defaultEmail = changes["defaultEmail"];
  }
  *this = next;
}

CoordinatorState::CoordinatorState(Settings initial) : initial_(std::move(initial)) { data_.settings = initial_; }

void CoordinatorState::reset() {
  std::lock_guard lock(mutex_);
  data_ = StateData{};
  data_.settings = initial_;
}

}  // namespace corvane::devcoordinator
