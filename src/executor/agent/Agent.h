#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "executor/agent/AgentTimer.h"
#include "executor/agent/ExecutorTask.h"
#include "executor/agent/QuotaSamplingPlan.h"
#include "executor/coordinator/CoordinatorClient.h"
#include "executor/state/AgentHealth.h"
#include "executor/state/Journal.h"
#include "executor/support/Json.h"
#include "platform/ServiceNotifier.h"

namespace corvane {

class Agent;

// What the agent is given besides the client and the journal: how it reaches
// the data directory and the operations other parts of the executor fill in.
// Every member may be left empty.
struct AgentHooks {
  // True while a local sign-out is requested.
  std::function<bool()> signingOut;
  // The identifier of the update preparation in force, if any.
  std::function<std::optional<std::string>()> updatePreparation;
  // Receives every published health record.
  std::function<void(const AgentHealth&)> onHealth;
  // Told of a ChatGPT sign-in a task waits for (a payload) or no longer
  // waits for (none).
  std::function<void(const std::string& loginID, const std::optional<Json>& payload)> onLogin;

  // The body of a reserved task's thread: claims, runs and journals the task.
  // A CVError.storage puts the agent into storage failure; other errors are
  // dropped. The slot is released when it returns.
  std::function<void(Agent&, const ExecutorTask&)> execute;
  // One pass of the support-diagnostics upload, every 5 seconds.
  std::function<void(Agent&)> uploadDiagnostics;
  // One pass of the quota sampler, every second; a CVError.storage puts the
  // agent into storage failure.
  std::function<void(Agent&)> sampleQuota;

  // signingOut, updatePreparation and onHealth run under the agent's lock
  // and must not call back into the agent.
};

struct AgentOptions {
  WakeTiming wakeTiming;
  // The service manager to tell that the executor is ready, alive and
  // stopping; none outside a service (and in most tests).
  const platform::ServiceNotifier* notifier = nullptr;
};

// The executor's long-running loop. It synchronises with the coordinator on a
// timer that a wake message cuts short, backs off after failures, keeps the
// coordinator's clock, publishes its health, reserves slots for the offers it
// is given and runs each on a thread of its own, and delivers journalled
// results with a back-off per task.
//
// One lock guards all of its state and is held only for short reads and
// updates. The wake condition has its own mutex, never taken while the lock
// is held; the journal is never called with the lock held. No network call
// is made under either.
//
// The client, journal and timer must outlive the agent. Destroying the agent
// waits for the task threads it started.
class Agent {
 public:
  static constexpr int connectSlots = 5;
  static constexpr int readPingSlots = 2;
  static constexpr int removeSlots = 1;
  static constexpr size_t maximumOffers = 100;
  static constexpr size_t maximumSamplingPlans = 10;
  static constexpr size_t resultsPerDelivery = 20;
  // With a notifier, a watchdog thread tells the service manager every
  // livenessInterval that the executor is alive, as long as the sync loop is
  // waiting or in a synchronisation begun less than syncStall ago, and the
  // delivery thread has moved on within deliveryStall. A hung loop thus goes
  // quiet and gets restarted; a coordinator that is down does not.
  static constexpr double livenessInterval = 10;
  static constexpr double syncStall = 20;
  static constexpr double deliveryStall = 60;

  Agent(const CoordinatorClient& client, Journal& journal, AgentHooks hooks, AgentTimer& timer = systemAgentTimer(),
        AgentOptions options = {});
  ~Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // Starts the diagnostics, wake, delivery and sampler threads (and the
  // watchdog thread when there is a notifier) and runs the sync loop on the
  // calling thread. Returns once stop() was called and
  // every worker thread has ended (within about a second). A stop before
  // run() skips the loop.
  void run();

  // One synchronisation step: the sign-out notice when one is requested, the
  // synchronisation and the acceptance of its offers. Throws the error of the
  // failed step after counting the failure and publishing the health.
  void tick();

  // The stop request: ends the sync loop's wait at once; the worker threads
  // end at their next check. Never blocks for long.
  void stop();

  // Records the wake channel's state; a change wakes the sync loop.
  void setWakeConnected(bool connected);

  // Cuts the sync loop's wait short (a wake message, a freed slot, a result).
  void requestWake();

  // One delivery pass over the journal's undelivered results: at most 20,
  // removals first, each not before its retry time. CVError.storage when the
  // journal fails.
  void deliver();

  // Reads the offers of a coordinator answer ("tasks") and starts every one
  // whose slot and credential are free, in priority order. CVError.invalid
  // "Invalid task list" for a missing list or more than 100 offers, the
  // offer's error when any fails validation (nothing is started then),
  // CVError.storage when the journal fails.
  void acceptOffers(const Json& response);

  // Seconds from the coordinator's current time to date, negative when it
  // has passed. CVError.invalid "Missing server time" before the first
  // successful synchronisation.
  double remaining(WallTime date) const;

  // Marks the journal as failed for the rest of the process: offers are no
  // longer accepted and health shows the storage error. The first call wakes
  // the sync loop so the coordinator hears of it at once.
  void healthFailure();

  // Copies of the sampling state, for the sampler and for inspection.
  std::map<std::string, QuotaSamplingPlan> samplingPlans() const;
  std::map<std::string, QuotaSamplingCursor> samplingCursors() const;
  void setSamplingCursor(const std::string& accountID, const QuotaSamplingCursor& cursor);

  // ---- quota sampling and quota diagnostics ----

  // What the quota sampler works on, lent out under the agent's lock. The
  // read/ping count and the busy credentials are the ones tasks use, so
  // sampling and read or ping tasks share their slots.
  struct SamplingState {
    // False while stopped, revoked, signing out, in storage failure or
    // preparing an update: no new sampling work then.
    bool accepting;
    std::set<std::string>& busy;
    int& readPingCount;
    const std::map<std::string, QuotaSamplingPlan>& plans;
    std::map<std::string, QuotaSamplingCursor>& cursors;
  };
  // Runs body with the lock held. body must be short, must not call back
  // into the agent and must not touch the journal or the network; what it
  // throws is rethrown after the lock is released.
  void withSamplingState(const std::function<void(SamplingState&)>& body);

  // Records one quota diagnostics row for the account, stamped with the
  // agent's wall-clock time (see diagnoseQuota in QuotaReport.h). Never
  // fails. Safe from any thread; takes no agent lock.
  void diagnoseQuota(const std::string& accountID, const std::string& reason, const std::optional<Json>& report,
                     std::optional<int> httpStatus);

  // ---- end of quota sampling ----

  // ---- what a task body reads and changes (TaskExecution) ----
  // The conditions that stop or narrow a task's work, read together under
  // the lock, so that one check sees one state.
  struct Standing {
    bool stopped = false;
    bool revoked = false;
    bool signingOut = false;
  };
  Standing standing() const;
  // Has the sampler read the account at its next pass and then closely until
  // confirmationUntil (a monotonic reading): after a ping the new window
  // shows soon. Takes the account's cursor, or a fresh one.
  void restartSampling(const std::string& accountID, double confirmationUntil);
  // ---- end of the task body's accessors ----

  // How many times the sync loop has been asked to wake, for tests.
  uint64_t wakeRequests() const { return wakeRequests_.load(); }

  const CoordinatorClient& client() const { return client_; }
  Journal& journal() { return journal_; }
  const AgentHooks& hooks() const { return hooks_; }
  AgentTimer& timer() { return timer_; }

 private:
  struct ServerClock {
    WallTime serverTime;
    double monotonicAtSync;
  };
  struct Retry {
    int attempts = 0;
    double notBefore = 0;
  };
  struct TaskThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  Json synchronize();
  Json syncBody();                         // caller holds lock_
  bool reserve(const ExecutorTask& task);  // caller holds lock_
  void release(const ExecutorTask& task);
  void startTask(const ExecutorTask& task);
  void publishHealth(std::optional<AgentHealthError> error);
  bool signingOut() const;
  std::optional<std::string> updatePreparation() const;
  int& counter(TaskAction action);
  double syncDelay();  // caller holds lock_

  void wakeLoop();
  void deliveryLoop();
  void samplerLoop();
  void diagnosticsLoop();
  void watchdogLoop();
  // A worker's pause: false when a stop ended it early.
  bool pause(double seconds);
  // Whether the sync loop and the delivery thread are moving on.
  bool alive() const;

  const CoordinatorClient& client_;
  Journal& journal_;
  AgentHooks hooks_;
  AgentTimer& timer_;
  AgentOptions options_;

  mutable std::mutex lock_;
  bool stopped_ = false;
  bool revoked_ = false;
  bool cleanupComplete_ = false;
  bool storageFailed_ = false;
  std::set<std::string> busy_;
  std::set<std::string> activeIDs_;
  int connectCount_ = 0;
  int readPingCount_ = 0;
  int removeCount_ = 0;
  std::optional<ServerClock> serverClock_;
  std::optional<WallTime> lastHeartbeatAt_;
  bool wakeConnected_ = false;
  int syncFailures_ = 0;
  std::map<std::string, QuotaSamplingPlan> samplingPlans_;
  std::map<std::string, QuotaSamplingCursor> samplingCursors_;
  std::map<std::string, Retry> retries_;

  std::mutex wakeMutex_;
  std::condition_variable wakeCondition_;
  bool wakePending_ = false;
  std::atomic<uint64_t> wakeRequests_{0};

  // Lets a worker's pause end at once on a stop.
  std::mutex pauseMutex_;
  std::condition_variable pauseCondition_;
  bool stopRequested_ = false;
  // Set when a task's result is stored: the delivery loop's pause ends early,
  // so a result goes out at once rather than at the next beat.
  bool deliveryRequested_ = false;

  // What the watchdog looks at, without the lock: when the current
  // synchronisation began (infinity while the loop waits), and when the
  // delivery thread last moved on (infinity once it has ended on purpose).
  std::atomic<double> syncStartedAt_{std::numeric_limits<double>::infinity()};
  std::atomic<double> deliveryBeat_{0};

  std::mutex tasksMutex_;
  std::list<TaskThread> tasks_;
};

}  // namespace corvane
