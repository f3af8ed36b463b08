#include "executor/agent/AgentTimer.h"

#include <chrono>
#include <random>

namespace corvane {

namespace {

class SystemAgentTimer final : public AgentTimer {
 public:
  const platform::Clock& clock() const override { return platform::systemClock(); }

  double jitter() override {
    std::lock_guard lock(mutex_);
    return std::uniform_real_distribution<double>(0.8, 1.2)(generator_);
  }

  void wait(Wait kind, std::condition_variable& condition, std::unique_lock<std::mutex>& lock, double seconds,
            const std::function<bool()>& done) override {
    auto duration = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::duration<double>(seconds));
    // The sync loop waits until a wall-clock date, which keeps counting
    // while the machine sleeps; a worker's short pause needs no such care.
    if (kind == Wait::sync)
      condition.wait_until(lock, std::chrono::system_clock::now() + duration, done);
    else
      condition.wait_for(lock, duration, done);
  }

 private:
  std::mutex mutex_;
  std::mt19937_64 generator_{std::random_device{}()};
};

}  // namespace

AgentTimer& systemAgentTimer() {
  static SystemAgentTimer timer;
  return timer;
}

}  // namespace corvane
