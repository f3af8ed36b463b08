#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dev-coordinator/testing/DevCoordinator.h"
#include "executor/agent/Agent.h"
#include "executor/state/Journal.h"
#include "support/ManualClock.h"
#include "support/TemporaryDirectory.h"

namespace corvane::test {

// Time under the test's control: a manual clock, a fixed jitter factor, and
// waits that record what they were asked for. A sync wait lasts at most
// syncCap real seconds (0: returns at once; large: only a wake ends it);
// worker pauses last workerCap, by default a few milliseconds, so the worker
// threads run often without holding a test up.
class TestTimer final : public AgentTimer {
 public:
  TestTimer() : clock_(std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now())) {}

  const platform::Clock& clock() const override { return clock_; }
  ManualClock& manual() { return clock_; }
  double jitter() override { return jitter_.load(); }
  void setJitter(double factor) { jitter_ = factor; }
  void setSyncCap(double seconds) { syncCap_ = seconds; }
  void setWorkerCap(double seconds) { workerCap_ = seconds; }

  void wait(Wait kind, std::condition_variable& condition, std::unique_lock<std::mutex>& lock, double seconds,
            const std::function<bool()>& done) override {
    if (kind == Wait::worker) {
      auto cap = std::chrono::duration<double>(workerCap_.load());
      condition.wait_for(lock, std::chrono::duration_cast<std::chrono::microseconds>(cap), done);
      return;
    }
    {
      std::lock_guard guard(mutex_);
      syncDelays_.push_back(seconds);
    }
    recorded_.notify_all();
    auto cap = std::chrono::duration<double>(syncCap_.load());
    condition.wait_for(lock, std::chrono::duration_cast<std::chrono::microseconds>(cap), done);
  }

  std::vector<double> syncDelays() {
    std::lock_guard guard(mutex_);
    return syncDelays_;
  }

  // Blocks until the sync loop has asked for count waits (or 30 s passed).
  std::vector<double> awaitSyncDelays(size_t count) {
    std::unique_lock guard(mutex_);
    recorded_.wait_for(guard, std::chrono::seconds(30), [&] { return syncDelays_.size() >= count; });
    return syncDelays_;
  }

 private:
  ManualClock clock_;
  std::atomic<double> jitter_{1.0};
  std::atomic<double> syncCap_{0};
  std::atomic<double> workerCap_{0.005};
  std::mutex mutex_;
  std::condition_variable recorded_;
  std::vector<double> syncDelays_;
};

// Polls condition until it holds, for at most 20 seconds; the result says
// whether it did. Not a timing check: the bound only keeps a broken build
// from hanging.
inline bool eventually(const std::function<bool()>& condition) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < until) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

// A gate a task body waits at until the test opens it.
class Gate {
 public:
  void open() {
    {
      std::lock_guard guard(mutex_);
      open_ = true;
    }
    condition_.notify_all();
  }
  void pass() {
    std::unique_lock guard(mutex_);
    condition_.wait_for(guard, std::chrono::seconds(30), [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable condition_;
  bool open_ = false;
};

// A development coordinator with one paired device, a journal, and the
// health records an agent publishes.
class AgentFixture : public ::testing::Test {
 protected:
  AgentFixture();

  // A well-formed offer, offered until far in the future.
  static nlohmann::json offer(const std::string& id, const std::string& action, const std::string& credential);
  // Makes the coordinator offer these (without sending a wake).
  void addOffers(const std::vector<nlohmann::json>& offers);
  // The bodies of the sync requests so far, oldest first.
  std::vector<nlohmann::json> syncBodies();
  nlohmann::json lastSyncBody();

  // Claims the offered task on the coordinator and journals it with result,
  // as a finished task leaves it.
  void claimAndFinish(const std::string& id, const std::string& action, const nlohmann::json& result);

  AgentHooks hooks();
  std::vector<AgentHealth> healths();

  DevCoordinator coordinator;
  TemporaryDirectory directory;
  std::string token;
  std::optional<CoordinatorClient> client;
  std::optional<Journal> journal;
  TestTimer timer;

  std::mutex healthMutex;
  std::vector<AgentHealth> published;
};

}  // namespace corvane::test
