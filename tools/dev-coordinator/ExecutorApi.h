#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CoordinatorState.h"
#include "Router.h"

namespace corvane::devcoordinator {

class RequestLog;
class WakeSocket;

// What the service serves a paired executor: synchronisation with task
// offers and sampling plans, sign-out, the heartbeat, the steps of a task
// (claim, progress, authorize-send, send-start, complete) with leases, and
// the quota report. Every endpoint wants the bearer token of a paired device.
//
// A test scripts it through the control port ("/_control/executor/...",
// installControl) and reads back exactly what each task received. Its state
// has its own lock, held for one request at a time.
class ExecutorApi {
 public:
  ExecutorApi(CoordinatorState& state, WakeSocket& wakes, RequestLog& log);

  void install(Router& api);
  void installControl(Router& control);

  // The wake channel's gate: 401 without a paired device's token. Logs the
  // upgrade request like any other.
  std::optional<Reply> authorizeWake(const HttpRequest& request, const ConnectionInfo& connection);

  void reset();

 private:
  struct TaskRecord {
    std::string id;
    Json offer;
    bool offered = true;
    std::optional<std::string> leaseId;
    Time leaseExpiresAt{};
    int claims = 0;
    Json progress = Json::array();
    Json authorizeSend = Json::array();
    Json sendStarts = Json::array();
    Json completions = Json::array();
    Json refusals = Json::array();  // requests answered with an error, {"step", "error"}

    Json toJson() const;
  };

  struct Script {
    long long serverTimeOffsetSeconds = 0;
    bool revoked = false;
    bool cleanupPending = false;
    Json samplingPlans = Json::array();
    Json answer = Json::object();   // members laid over the computed sync answer
    std::vector<std::string> omit;  // members left out of it
    long long leaseSeconds = 300;
    // A claimed task whose lease ran out without a result is offered (and
    // may be claimed) again, as a coordinator does once it gives up on the
    // executor that held it. Off by default: then a claim is final.
    bool reofferExpired = false;
    Json authorizeSend = Json{{"allowed", true}};  // "permitExpiresAt" added unless given
    Json sendStart = Json{{"ok", true}};
    Json heartbeat = Json::object();    // laid over {"revoked", "cleanupPending"}
    Json quotaReport = Json::object();  // laid over the receipt
    // How quota reports are answered: the queued answers one per report,
    // then the default (see README.md, /_control/executor/quota-reports).
    std::deque<Json> quotaAnswers;
    Json quotaDefault = Json{{"receipt", "accepted"}};
  };

  struct Data {
    Script script;
    std::vector<std::string> order;  // task ids in the order offered
    std::map<std::string, TaskRecord> tasks;
    int syncs = 0;
    int signOuts = 0;
    int heartbeats = 0;
    Json quotaReports = Json::array();
  };

  bool authorized(const ApiRequest& request);
  Time serverNow() const;  // caller holds mutex_
  Reply sync(const ApiRequest& request);
  Reply signOut(const ApiRequest& request);
  Reply heartbeat(const ApiRequest& request);
  Reply quotaReport(const ApiRequest& request);
  Reply taskStep(const ApiRequest& request, const std::string& step);

  Reply controlSync(const ApiRequest& request);
  Reply controlOffers(const ApiRequest& request);
  Reply controlTasks(const ApiRequest& request);
  Reply controlAnswers(const ApiRequest& request);
  Reply controlCounts(const ApiRequest& request);
  Reply controlQuotaReports(const ApiRequest& request);
  Json offeredTasks() const;  // caller holds mutex_
  // Offered, or claimed with an expired lease and no result while
  // reofferExpired is set. Caller holds mutex_.
  bool offerable(const TaskRecord& record) const;

  CoordinatorState& state_;
  WakeSocket& wakes_;
  RequestLog& log_;
  std::mutex mutex_;
  Data data_;
};

}  // namespace corvane::devcoordinator
