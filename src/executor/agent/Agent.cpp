#include "executor/agent/Agent.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "executor/agent/QuotaReport.h"
#include "executor/support/CVError.h"
#include "localization/L10n.h"

namespace corvane {

namespace {

constexpr double connectedInterval = 30;
constexpr double disconnectedInterval = 5;
constexpr double maximumSyncBackoff = 300;
constexpr int maximumSyncFailures = 7;
constexpr double maximumWakeBackoff = 60;
constexpr double maximumDeliveryBackoff = 300;

double seconds(std::chrono::microseconds duration) { return std::chrono::duration<double>(duration).count(); }

bool isStorage(const CVError& error) { return error.kind() == CVError::Kind::storage; }

}  // namespace

Agent::Agent(const CoordinatorClient& client, Journal& journal, AgentHooks hooks, AgentTimer& timer,
             AgentOptions options)
    : client_(client), journal_(journal), hooks_(std::move(hooks)), timer_(timer), options_(options) {}

Agent::~Agent() {
  std::list<TaskThread> tasks;
  {
    std::lock_guard guard(tasksMutex_);
    tasks.swap(tasks_);
  }
  for (auto& task : tasks)
    if (task.thread.joinable()) task.thread.join();
}

bool Agent::signingOut() const { return hooks_.signingOut && hooks_.signingOut(); }

std::optional<std::string> Agent::updatePreparation() const {
  return hooks_.updatePreparation ? hooks_.updatePreparation() : std::nullopt;
}

int& Agent::counter(TaskAction action) {
  switch (action) {
    case TaskAction::connect:
      return connectCount_;
    case TaskAction::remove:
      return removeCount_;
    case TaskAction::read:
    case TaskAction::ping:
      break;
  }
  return readPingCount_;
}

// ---- the loop ----

void Agent::run() {
  std::vector<std::thread> workers;
  workers.emplace_back([this] { diagnosticsLoop(); });
  workers.emplace_back([this] { wakeLoop(); });
  workers.emplace_back([this] { deliveryLoop(); });
  workers.emplace_back([this] { samplerLoop(); });
  deliveryBeat_ = timer_.clock().continuousSeconds();
  if (options_.notifier) {
    options_.notifier->ready();
    workers.emplace_back([this] { watchdogLoop(); });
  }

  for (;;) {
    {
      std::lock_guard guard(lock_);
      if (stopped_) break;
    }
    syncStartedAt_ = timer_.clock().continuousSeconds();
    try {
      tick();
    } catch (const CVError& error) {
      if (isStorage(error)) healthFailure();
    } catch (const std::exception&) {
      // Counted and published by the tick.
    }
    syncStartedAt_ = std::numeric_limits<double>::infinity();
    double delay;
    {
      std::lock_guard guard(lock_);
      delay = syncDelay();
    }
    // A wake that is already pending ends the wait before it starts.
    std::unique_lock wait(wakeMutex_);
    timer_.wait(AgentTimer::Wait::sync, wakeCondition_, wait, delay, [this] { return wakePending_; });
    wakePending_ = false;
  }

  // The workers are ours to wait for: they end within a pause or a wake
  // channel poll of the stop, and none may outlive the agent.
  for (auto& worker : workers) worker.join();
}

double Agent::syncDelay() {
  if (syncFailures_ < 1) return wakeConnected_ && !revoked_ ? connectedInterval : disconnectedInterval;
  int exponent = std::min(syncFailures_, maximumSyncFailures) - 1;
  return std::min(5.0 * std::pow(2.0, exponent) * timer_.jitter(), maximumSyncBackoff);
}

void Agent::tick() {
  try {
    journal_.execute("UPDATE health SET nonce=nonce+1 WHERE id=1");
    journal_.pruneQuotaDiagnostics(timer_.clock().wallTime());
  } catch (const std::exception&) {
    healthFailure();
  }

  try {
    if (signingOut()) {
      {
        std::lock_guard guard(lock_);
        revoked_ = true;
      }
      client_.post("/v1/executor/sign-out", Json::object());
    }
    Json response = synchronize();
    bool failed;
    {
      std::lock_guard guard(lock_);
      failed = storageFailed_;
    }
    if (!failed) acceptOffers(response);
    {
      std::lock_guard guard(lock_);
      syncFailures_ = 0;
    }
    publishHealth(std::nullopt);
  } catch (const std::exception&) {
    {
      std::lock_guard guard(lock_);
      syncFailures_ = std::min(syncFailures_ + 1, maximumSyncFailures);
    }
    publishHealth(AgentHealthError::coordinatorUnavailable);
    throw;
  }
}

void Agent::stop() {
  {
    std::lock_guard guard(lock_);
    stopped_ = true;
  }
  if (options_.notifier) options_.notifier->stopping();
  {
    std::lock_guard guard(pauseMutex_);
    stopRequested_ = true;
  }
  pauseCondition_.notify_all();
  requestWake();
  publishHealth(std::nullopt);
}

void Agent::requestWake() {
  {
    std::lock_guard guard(wakeMutex_);
    wakePending_ = true;
    ++wakeRequests_;
  }
  wakeCondition_.notify_all();
}

void Agent::setWakeConnected(bool connected) {
  {
    std::lock_guard guard(lock_);
    if (wakeConnected_ == connected) return;
    wakeConnected_ = connected;
  }
  requestWake();
}

void Agent::healthFailure() {
  bool already;
  {
    std::lock_guard guard(lock_);
    already = storageFailed_;
    storageFailed_ = true;
  }
  publishHealth(std::nullopt);
  if (!already) requestWake();
}

void Agent::publishHealth(std::optional<AgentHealthError> error) {
  bool pendingEmpty = false;
  try {
    pendingEmpty = journal_.pending().empty();
  } catch (const std::exception&) {
  }

  std::lock_guard guard(lock_);
  std::optional<std::string> preparation = updatePreparation();
  AgentHealth health;
  if (stopped_) {
    health.state = AgentHealthState::stopped;
  } else if (storageFailed_) {
    health.state = AgentHealthState::storageError;
    health.lastErrorCode = AgentHealthError::journalUnavailable;
  } else if (revoked_) {
    health.state = AgentHealthState::revoked;
    health.lastErrorCode = AgentHealthError::deviceRevoked;
  } else if (error) {
    health.state = AgentHealthState::offline;
    health.lastErrorCode = error;
  } else {
    health.state = AgentHealthState::online;
  }
  health.lastHeartbeatAt = lastHeartbeatAt_;
  health.deviceRevoked = revoked_;
  health.rePairReady = revoked_ && cleanupComplete_ && pendingEmpty && activeIDs_.empty() && !error && !storageFailed_;
  health.updatePreparationID = preparation;
  health.updateReady = preparation.has_value() && busy_.empty() && !storageFailed_;
  if (hooks_.onHealth) hooks_.onHealth(health);
}

double Agent::remaining(WallTime date) const {
  std::optional<ServerClock> clock;
  {
    std::lock_guard guard(lock_);
    clock = serverClock_;
  }
  if (!clock) throw CVError::invalid(L10n::text("Missing server time"));
  return seconds(date - clock->serverTime) - (timer_.clock().continuousSeconds() - clock->monotonicAtSync);
}

std::map<std::string, QuotaSamplingPlan> Agent::samplingPlans() const {
  std::lock_guard guard(lock_);
  return samplingPlans_;
}

std::map<std::string, QuotaSamplingCursor> Agent::samplingCursors() const {
  std::lock_guard guard(lock_);
  return samplingCursors_;
}

void Agent::setSamplingCursor(const std::string& accountID, const QuotaSamplingCursor& cursor) {
  std::lock_guard guard(lock_);
  samplingCursors_[accountID] = cursor;
}

// ---- quota sampling and quota diagnostics ----

void Agent::withSamplingState(const std::function<void(SamplingState&)>& body) {
  std::lock_guard guard(lock_);
  bool accepting = !stopped_ && !revoked_ && !storageFailed_ && !signingOut() && !updatePreparation();
  SamplingState state{accepting, busy_, readPingCount_, samplingPlans_, samplingCursors_};
  body(state);
}

void Agent::diagnoseQuota(const std::string& accountID, const std::string& reason, const std::optional<Json>& report,
                          std::optional<int> httpStatus) {
  corvane::diagnoseQuota(journal_, timer_.clock().wallTime(), accountID, reason, report, httpStatus);
}

// ---- end of quota sampling ----

// ---- what a task body reads and changes ----

Agent::Standing Agent::standing() const {
  std::lock_guard guard(lock_);
  return Standing{stopped_, revoked_, signingOut()};
}

void Agent::restartSampling(const std::string& accountID, double confirmationUntil) {
  std::lock_guard guard(lock_);
  QuotaSamplingCursor& cursor = samplingCursors_[accountID];
  cursor.lastAttempt = -std::numeric_limits<double>::infinity();
  cursor.confirmationUntil = confirmationUntil;
}

// ---- worker threads ----

bool Agent::pause(double seconds) {
  std::unique_lock wait(pauseMutex_);
  timer_.wait(AgentTimer::Wait::worker, pauseCondition_, wait, seconds, [this] { return stopRequested_; });
  return !stopRequested_;
}

void Agent::diagnosticsLoop() {
  for (;;) {
    {
      std::lock_guard guard(lock_);
      if (stopped_ || revoked_ || signingOut()) return;
    }
    if (hooks_.uploadDiagnostics) {
      try {
        hooks_.uploadDiagnostics(*this);
      } catch (const std::exception&) {
        // The upload keeps its own back-off; the next pass tries again.
      }
    }
    if (!pause(5)) return;
  }
}

void Agent::wakeLoop() {
  int failures = 0;
  for (;;) {
    {
      std::lock_guard guard(lock_);
      if (revoked_ || signingOut()) return;
    }
    bool connected = client_.listenForWakes(
        [this] {
          std::lock_guard guard(lock_);
          return !stopped_ && !revoked_ && !signingOut();
        },
        [this] { requestWake(); }, [this](bool state) { setWakeConnected(state); }, options_.wakeTiming);

    failures = connected ? 0 : std::min(failures, 5) + 1;
    double backoff = failures >= 2 ? 5.0 * std::pow(2.0, failures - 1) : 5.0;
    backoff = std::min(backoff * timer_.jitter(), maximumWakeBackoff);
    double deadline = timer_.clock().continuousSeconds() + backoff;
    for (;;) {
      double left;
      {
        std::lock_guard guard(lock_);
        if (revoked_ || signingOut()) break;
        left = deadline - timer_.clock().continuousSeconds();
      }
      if (left <= 0) break;
      if (!pause(std::min(left, 1.0))) break;
    }
    std::lock_guard guard(lock_);
    if (stopped_) return;
  }
}

bool Agent::alive() const {
  double now = timer_.clock().continuousSeconds();
  double syncStartedAt = syncStartedAt_.load();
  return (std::isinf(syncStartedAt) || now - syncStartedAt < syncStall) && now - deliveryBeat_.load() < deliveryStall;
}

void Agent::watchdogLoop() {
  for (;;) {
    {
      std::lock_guard guard(lock_);
      if (stopped_) return;
    }
    if (alive()) options_.notifier->watchdog();
    if (!pause(livenessInterval)) return;
  }
}

void Agent::deliveryLoop() {
  for (;;) {
    {
      std::lock_guard guard(lock_);
      if (stopped_ || storageFailed_) {
        deliveryBeat_ = std::numeric_limits<double>::infinity();
        return;
      }
    }
    deliveryBeat_ = timer_.clock().continuousSeconds();
    try {
      deliver();
    } catch (const CVError& error) {
      if (isStorage(error)) healthFailure();
    } catch (const std::exception&) {
    }
    std::unique_lock wait(pauseMutex_);
    timer_.wait(AgentTimer::Wait::worker, pauseCondition_, wait, 1,
                [this] { return stopRequested_ || deliveryRequested_; });
    if (stopRequested_) return;
    deliveryRequested_ = false;
  }
}

void Agent::samplerLoop() {
  for (;;) {
    {
      std::lock_guard guard(lock_);
      if (stopped_ || storageFailed_) return;
    }
    if (hooks_.sampleQuota) {
      try {
        hooks_.sampleQuota(*this);
      } catch (const CVError& error) {
        if (isStorage(error)) healthFailure();
      } catch (const std::exception&) {
      }
    }
    if (!pause(1)) return;
  }
}

// ---- synchronisation ----

Json Agent::syncBody() {
  bool preparing = updatePreparation().has_value();
  bool out = signingOut();
  bool canExecute = !stopped_ && !revoked_ && !out && !storageFailed_ && !preparing;
  bool canClean = !stopped_ && !storageFailed_ && !preparing;
  Json failureCode;
  if (canClean)
    failureCode = revoked_ ? Json("device_revoked") : Json();
  else
    failureCode = storageFailed_ ? "journal_unavailable" : "shutting_down";
  Json active = Json::array();
  for (const auto& id : activeIDs_) active.push_back(id);  // a std::set is sorted
  return Json{{"protocolVersion", 5},
              {"canExecute", canExecute},
              {"canClean", canClean},
              {"freeConnectSlots", canExecute ? connectSlots - connectCount_ : 0},
              {"freeReadPingSlots", canExecute ? readPingSlots - readPingCount_ : 0},
              {"freeCleanupSlots", canClean ? removeSlots - removeCount_ : 0},
              {"failureCode", failureCode},
              {"activeTaskIds", active}};
}

Json Agent::synchronize() {
  double started = timer_.clock().continuousSeconds();
  Json body;
  {
    std::lock_guard guard(lock_);
    body = syncBody();
  }
  Json response = client_.post("/v1/executor/sync", body);
  WallTime serverTime = parseTime(member(response, "serverTime"));

  std::vector<QuotaSamplingPlan> plans;
  const Json* planList = member(response, "samplingPlans");
  bool arrayOfObjects = planList && planList->is_array() &&
                        std::all_of(planList->begin(), planList->end(), [](const Json& e) { return e.is_object(); });
  if (arrayOfObjects) {
    // Not translated: a protocol fault the user cannot act on.
    if (planList->size() > maximumSamplingPlans) throw CVError::invalid("Too many sampling plans");
    for (const auto& plan : *planList) plans.emplace_back(plan);
  }

  const Json* revoked = member(response, "revoked");
  const Json* cleanupPending = member(response, "cleanupPending");
  std::lock_guard guard(lock_);
  serverClock_ = ServerClock{serverTime, started};
  revoked_ = revoked && revoked->is_boolean() && revoked->get<bool>();
  cleanupComplete_ = cleanupPending && cleanupPending->is_boolean() && !cleanupPending->get<bool>();
  lastHeartbeatAt_ = timer_.clock().wallTime();

  std::map<std::string, QuotaSamplingPlan> next;
  for (auto& plan : plans) {
    // A cursor belongs to one binding of the account: a new credential or
    // binding starts its sampling afresh.
    auto held = samplingPlans_.find(plan.accountID);
    if (held != samplingPlans_.end() &&
        (held->second.bindingVersion != plan.bindingVersion || held->second.credentialID != plan.credentialID))
      samplingCursors_.erase(plan.accountID);
    std::string account = plan.accountID;
    next.insert_or_assign(account, std::move(plan));
  }
  samplingPlans_ = std::move(next);
  std::erase_if(samplingCursors_, [&](const auto& entry) { return !samplingPlans_.contains(entry.first); });
  return response;
}

// ---- offers ----

void Agent::acceptOffers(const Json& response) {
  const Json* list = member(response, "tasks");
  if (!list || !list->is_array() || list->size() > maximumOffers ||
      !std::all_of(list->begin(), list->end(), [](const Json& e) { return e.is_object(); }))
    throw CVError::invalid(L10n::text("Invalid task list"));

  std::vector<ExecutorTask> tasks;
  tasks.reserve(list->size());
  for (const auto& offer : *list) tasks.emplace_back(offer);
  std::stable_sort(tasks.begin(), tasks.end(),
                   [](const ExecutorTask& a, const ExecutorTask& b) { return a.priority() < b.priority(); });

  for (const auto& task : tasks) {
    // Claimed before, perhaps by an earlier run of the process.
    if (journal_.contains(task.id)) continue;
    bool reserved;
    {
      std::lock_guard guard(lock_);
      reserved = reserve(task);
    }
    if (reserved) startTask(task);
  }
}

bool Agent::reserve(const ExecutorTask& task) {
  if (stopped_ || storageFailed_) return false;
  if (updatePreparation()) return false;
  if (busy_.contains(task.credentialID)) return false;
  if ((revoked_ || signingOut()) && task.action != TaskAction::remove) return false;
  int limit = task.action == TaskAction::connect  ? connectSlots
              : task.action == TaskAction::remove ? removeSlots
                                                  : readPingSlots;
  int& count = counter(task.action);
  if (count >= limit) return false;
  ++count;
  busy_.insert(task.credentialID);
  activeIDs_.insert(task.id);
  return true;
}

void Agent::release(const ExecutorTask& task) {
  {
    std::lock_guard guard(lock_);
    busy_.erase(task.credentialID);
    activeIDs_.erase(task.id);
    --counter(task.action);
  }
  bool journalled;
  try {
    journalled = journal_.contains(task.id);
  } catch (const std::exception&) {
    return;
  }
  // The freed slot and the stored result reach the coordinator at once.
  if (!journalled) return;
  {
    std::lock_guard guard(pauseMutex_);
    deliveryRequested_ = true;
  }
  pauseCondition_.notify_all();
  requestWake();
}

void Agent::startTask(const ExecutorTask& task) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([this, task, done] {
    try {
      if (hooks_.execute) hooks_.execute(*this, task);
    } catch (const CVError& error) {
      if (isStorage(error)) healthFailure();
    } catch (const std::exception&) {
      // Before the claim nothing was stored; the coordinator offers it again.
    }
    release(task);
    done->store(true);
  });
  std::lock_guard guard(tasksMutex_);
  // Threads that have finished are joined here, so a long-running agent does
  // not pile them up.
  for (auto it = tasks_.begin(); it != tasks_.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = tasks_.erase(it);
    } else {
      ++it;
    }
  }
  tasks_.push_back({std::move(thread), done});
}

// ---- delivery ----

void Agent::deliver() {
  {
    std::lock_guard guard(lock_);
    if (storageFailed_) return;
  }
  std::vector<Journal::PendingResult> entries = journal_.pending();
  if (entries.size() > resultsPerDelivery) entries.resize(resultsPerDelivery);

  for (const auto& [id, body] : entries) {
    Retry retry;
    {
      std::lock_guard guard(lock_);
      auto found = retries_.find(id);
      if (found != retries_.end()) retry = found->second;
    }
    if (timer_.clock().continuousSeconds() < retry.notBefore) continue;

    deliveryBeat_ = timer_.clock().continuousSeconds();
    bool delivered = false;
    try {
      client_.post("/v1/executor/tasks/" + id + "/complete", body);
      delivered = true;
    } catch (const CVError& error) {
      // The task is gone on the coordinator's side (404, 410), or it will
      // never take this result (409: it holds one already, sent by a run
      // that died before marking it, or the lease is no longer the task's):
      // retrying cannot succeed, and keeping it would block the queue.
      delivered = error.kind() == CVError::Kind::network &&
                  (error.status() == 404 || error.status() == 409 || error.status() == 410);
    } catch (const std::exception&) {
    }

    if (delivered) {
      journal_.execute("UPDATE tasks SET delivered=1,result='{}' WHERE id=?", {id});
      {
        std::lock_guard guard(lock_);
        retries_.erase(id);
      }
      requestWake();
    } else {
      double delay = std::min(5.0 * std::pow(2.0, std::min(retry.attempts, 6)), maximumDeliveryBackoff);
      std::lock_guard guard(lock_);
      retries_[id] = Retry{retry.attempts + 1, timer_.clock().continuousSeconds() + delay};
    }
  }
}

}  // namespace corvane
