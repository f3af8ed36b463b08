#include "ExecutorApi.h"

#include <algorithm>
#include <stdexcept>

#include "Fields.h"
#include "Log.h"
#include "Random.h"
#include "RequestLog.h"
#include "WakeSocket.h"

namespace corvane::devcoordinator {

namespace {

const std::string taskPattern = "^/v1/executor/tasks/([A-Za-z0-9_-]+)/";

Json overlaid(Json base, const Json& changes) {
  if (changes.is_object())
    for (const auto& [key, value] : changes.items()) base[key] = value;
  return base;
}

Reply unauthorized() { return Reply::error(401, "unauthorized", "a paired device's token is required"); }

bool boolean(const Json& body, const char* key, bool& slot) {
  if (!body.contains(key)) return false;
  if (!body[key].is_boolean()) throw std::invalid_argument(std::string("\"") + key + "\" is a boolean");
  slot = body[key].get<bool>();
  return true;
}

long long integer(const Json& body, const char* key, long long fallback) {
  if (!body.contains(key)) return fallback;
  if (!body[key].is_number_integer()) throw std::invalid_argument(std::string("\"") + key + "\" is a whole number");
  return body[key].get<long long>();
}

// A scripted quota-report answer, checked when it is given so that a bad
// script fails the test's control call rather than a report.
Json quotaAnswer(const Json& scripted) {
  if (!scripted.is_object()) throw std::invalid_argument("a quota-report answer is an object");
  for (const auto& [key, value] : scripted.items()) {
    if (key == "receipt") {
      if (!value.is_string() || (value != "accepted" && value != "duplicate" && value != "rejected" &&
                                 value != "missing" && value != "unknown"))
        throw std::invalid_argument(
            "\"receipt\" is \"accepted\", \"duplicate\", \"rejected\", \"unknown\" or \"missing\"");
    } else if (key == "reason") {
      if (!value.is_string()) throw std::invalid_argument("\"reason\" is a string");
    } else if (key == "status") {
      if (!value.is_number_unsigned() || value.get<unsigned>() < 400 || value.get<unsigned>() > 599)
        throw std::invalid_argument("\"status\" is an HTTP error status");
    } else if (key == "offers") {
      if (!value.is_boolean()) throw std::invalid_argument("\"offers\" is a boolean");
    } else if (key == "answer") {
      if (!value.is_object()) throw std::invalid_argument("\"answer\" is an object");
    } else {
      throw std::invalid_argument("unknown member \"" + key + "\" of a quota-report answer");
    }
  }
  return scripted;
}

}  // namespace

Json ExecutorApi::TaskRecord::toJson() const {
  return Json{{"id", id},
              {"offer", offer},
              {"offered", offered},
              {"leaseId", leaseId ? Json(*leaseId) : Json()},
              {"claims", claims},
              {"progress", progress},
              {"authorizeSend", authorizeSend},
              {"sendStarts", sendStarts},
              {"completions", completions},
              {"refusals", refusals}};
}

ExecutorApi::ExecutorApi(CoordinatorState& state, WakeSocket& wakes, RequestLog& log)
    : state_(state), wakes_(wakes), log_(log) {}

void ExecutorApi::install(Router& api) {
  api.add("/v1/executor/sync", [this](const ApiRequest& request) { return sync(request); });
  api.add("/v1/executor/sign-out", [this](const ApiRequest& request) { return signOut(request); });
  api.add("/v1/executor/heartbeat", [this](const ApiRequest& request) { return heartbeat(request); });
  api.add("/v1/executor/quota-report", [this](const ApiRequest& request) { return quotaReport(request); });
  for (const char* step : {"claim", "progress", "authorize-send", "send-start", "complete"}) {
    std::string name = step;
    api.addPattern(taskPattern + name + "$",
                   [this, name](const ApiRequest& request) { return taskStep(request, name); });
  }
}

void ExecutorApi::installControl(Router& control) {
  control.add("/_control/executor/sync", [this](const ApiRequest& request) { return controlSync(request); });
  control.add("/_control/executor/offers", [this](const ApiRequest& request) { return controlOffers(request); });
  control.add("/_control/executor/tasks", [this](const ApiRequest& request) { return controlTasks(request); });
  control.add("/_control/executor/answers", [this](const ApiRequest& request) { return controlAnswers(request); });
  control.add("/_control/executor/counts", [this](const ApiRequest& request) { return controlCounts(request); });
  control.add("/_control/executor/quota-reports",
              [this](const ApiRequest& request) { return controlQuotaReports(request); });
  control.add("/_control/executor/reset", [this](const ApiRequest&) {
    reset();
    return Reply::json(200, Json::object());
  });
  control.add("/_control/wake", [this](const ApiRequest&) {
    return Reply::json(200, Json{{"sent", wakes_.wakeAll()}});
  });
  control.add("/_control/wake/settings", [this](const ApiRequest& request) {
    bool answer = wakes_.answerPings();
    try {
      if (boolean(request.json, "answerPings", answer)) wakes_.setAnswerPings(answer);
    } catch (const std::invalid_argument& error) {
      return Reply::error(400, "invalid_request", error.what());
    }
    return Reply::json(200, wakes_.status());
  });
  control.add("/_control/wake/status", [this](const ApiRequest&) { return Reply::json(200, wakes_.status()); });
}

void ExecutorApi::reset() {
  {
    std::lock_guard lock(mutex_);
    data_ = Data{};
  }
  wakes_.reset();
}

bool ExecutorApi::authorized(const ApiRequest& request) {
  auto token = request.bearerToken();
  if (!token) return false;
  return state_.access([&](StateData& data) {
    return std::any_of(data.devices.begin(), data.devices.end(),
                       [&](const auto& entry) { return entry.second.token == *token; });
  });
}

std::optional<Reply> ExecutorApi::authorizeWake(const HttpRequest& request, const ConnectionInfo& connection) {
  LoggedRequest entry;
  entry.scheme = connection.scheme;
  entry.connection = connection.connection;
  entry.method = std::string(request.method_string());
  entry.target = std::string(request.target());
  for (const auto& field : request)
    entry.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  uint64_t sequence = log_.record(std::move(entry));
  ApiRequest api{request, "/v1/executor/wake", {}, Json::object()};
  if (!authorized(api)) {
    log_.setStatus(sequence, 401);
    logLine("GET /v1/executor/wake -> 401");
    return unauthorized();
  }
  log_.setStatus(sequence, 101);
  logLine("GET /v1/executor/wake -> 101");
  return std::nullopt;
}

Time ExecutorApi::serverNow() const {
  return Clock::now() + std::chrono::seconds(data_.script.serverTimeOffsetSeconds);
}

Reply ExecutorApi::sync(const ApiRequest& request) {
  if (!authorized(request)) return unauthorized();
  std::lock_guard lock(mutex_);
  ++data_.syncs;
  Json answer{{"serverTime", formatTime(serverNow())},
              {"tasks", offeredTasks()},
              {"samplingPlans", data_.script.samplingPlans},
              {"revoked", data_.script.revoked},
              {"cleanupPending", data_.script.cleanupPending}};
  answer = overlaid(answer, data_.script.answer);
  for (const auto& key : data_.script.omit) answer.erase(key);
  return Reply::json(200, answer);
}

Reply ExecutorApi::signOut(const ApiRequest& request) {
  if (!authorized(request)) return unauthorized();
  std::lock_guard lock(mutex_);
  ++data_.signOuts;
  return Reply::json(200, Json::object());
}

Reply ExecutorApi::heartbeat(const ApiRequest& request) {
  if (!authorized(request)) return unauthorized();
  std::lock_guard lock(mutex_);
  ++data_.heartbeats;
  Json answer{{"revoked", data_.script.revoked}, {"cleanupPending", data_.script.cleanupPending}};
  return Reply::json(200, overlaid(answer, data_.script.heartbeat));
}

Json ExecutorApi::offeredTasks() const {
  Json tasks = Json::array();
  for (const auto& id : data_.order) {
    const TaskRecord& record = data_.tasks.at(id);
    if (offerable(record)) tasks.push_back(record.offer);
  }
  return tasks;
}

bool ExecutorApi::offerable(const TaskRecord& record) const {
  if (record.offered) return true;
  return data_.script.reofferExpired && record.leaseId && record.completions.empty() &&
         serverNow() >= record.leaseExpiresAt;
}

Reply ExecutorApi::quotaReport(const ApiRequest& request) {
  if (!authorized(request)) return unauthorized();
  std::lock_guard lock(mutex_);
  data_.quotaReports.push_back(request.json);
  Json scripted = data_.script.quotaDefault;
  if (!data_.script.quotaAnswers.empty()) {
    scripted = data_.script.quotaAnswers.front();
    data_.script.quotaAnswers.pop_front();
  }
  if (scripted.contains("status")) {
    unsigned status = scripted["status"].get<unsigned>();
    logLine("quota report refused with " + std::to_string(status));
    return Reply::error(status, "quota_report_refused", "the quota report was refused as scripted");
  }
  std::string receipt = scripted.value("receipt", std::string("accepted"));
  Json answer{{"tasks", scripted.value("offers", false) ? offeredTasks() : Json::array()}};
  if (receipt != "missing")
    answer["recoveryReceipt"] = Json{{"status", receipt}, {"reason", scripted.value("reason", std::string())}};
  answer = overlaid(answer, scripted.value("answer", Json::object()));
  return Reply::json(200, overlaid(answer, data_.script.quotaReport));
}

Reply ExecutorApi::taskStep(const ApiRequest& request, const std::string& step) {
  if (!authorized(request)) return unauthorized();
  std::lock_guard lock(mutex_);
  const std::string& id = request.captures.at(0);
  auto found = data_.tasks.find(id);
  if (found == data_.tasks.end()) return Reply::error(404, "not_found", "no task " + id);
  TaskRecord& record = found->second;
  auto refuse = [&](unsigned status, const std::string& code, const std::string& message) {
    record.refusals.push_back(Json{{"step", step}, {"error", code}, {"body", request.json}});
    return Reply::error(status, code, message);
  };

  if (step == "claim") {
    if (!offerable(record)) return refuse(409, "already_claimed", "the task was claimed before");
    record.offered = false;
    ++record.claims;
    record.leaseId = randomToken();
    record.leaseExpiresAt = serverNow() + std::chrono::seconds(data_.script.leaseSeconds);
    logLine("task " + id + " claimed");
    return Reply::json(200, Json{{"task", record.offer},
                                 {"leaseId", *record.leaseId},
                                 {"leaseExpiresAt", formatTime(record.leaseExpiresAt)}});
  }

  auto lease = request.json.find("leaseId");
  if (!record.leaseId || lease == request.json.end() || !lease->is_string() || *lease != *record.leaseId)
    return refuse(409, "lease_mismatch", "the lease is not the task's current lease");

  if (step == "progress") {
    record.progress.push_back(request.json);
    return Reply::json(200, Json::object());
  }
  if (step == "authorize-send") {
    record.authorizeSend.push_back(request.json);
    Json answer = data_.script.authorizeSend;
    if (!answer.contains("permitExpiresAt"))
      answer["permitExpiresAt"] = formatTime(serverNow() + std::chrono::seconds(60));
    return Reply::json(200, answer);
  }
  if (step == "send-start") {
    if (!record.sendStarts.empty()) return refuse(409, "send_already_started", "the send was started before");
    record.sendStarts.push_back(request.json);
    return Reply::json(200, data_.script.sendStart);
  }
  // complete
  if (!record.completions.empty()) return refuse(409, "already_completed", "the task has a result already");
  record.completions.push_back(request.json);
  logLine("task " + id + " completed");
  return Reply::json(200, Json::object());
}

Reply ExecutorApi::controlSync(const ApiRequest& request) {
  try {
    std::lock_guard lock(mutex_);
    Script next = data_.script;
    const Json& body = request.json;
    next.serverTimeOffsetSeconds = integer(body, "serverTimeOffsetSeconds", next.serverTimeOffsetSeconds);
    boolean(body, "revoked", next.revoked);
    boolean(body, "cleanupPending", next.cleanupPending);
    if (body.contains("samplingPlans")) next.samplingPlans = body["samplingPlans"];
    if (body.contains("answer")) {
      if (!body["answer"].is_object()) throw std::invalid_argument("\"answer\" is an object");
      next.answer = body["answer"];
    }
    if (body.contains("omit")) {
      if (!body["omit"].is_array()) throw std::invalid_argument("\"omit\" is an array of member names");
      next.omit.clear();
      for (const auto& key : body["omit"]) {
        if (!key.is_string()) throw std::invalid_argument("\"omit\" is an array of member names");
        next.omit.push_back(key);
      }
    }
    data_.script = next;
    return Reply::json(200, Json{{"serverTimeOffsetSeconds", next.serverTimeOffsetSeconds},
                                 {"revoked", next.revoked},
                                 {"cleanupPending", next.cleanupPending},
                                 {"samplingPlans", next.samplingPlans},
                                 {"answer", next.answer},
                                 {"omit", next.omit}});
  } catch (const std::invalid_argument& error) {
    return Reply::error(400, "invalid_request", error.what());
  }
}

Reply ExecutorApi::controlOffers(const ApiRequest& request) {
  const Json& body = request.json;
  bool wake = true;
  try {
    boolean(body, "wake", wake);
  } catch (const std::invalid_argument& error) {
    return Reply::error(400, "invalid_request", error.what());
  }
  std::vector<Json> added;
  if (body.contains("offer")) added.push_back(body["offer"]);
  if (body.contains("offers")) {
    if (!body["offers"].is_array()) return Reply::error(400, "invalid_request", "\"offers\" is an array");
    for (const auto& offer : body["offers"]) added.push_back(offer);
  }
  Json list = Json::array();
  {
    std::lock_guard lock(mutex_);
    for (const auto& offer : added) {
      // Offers are taken as given, malformed ones too; one without a string
      // id gets a made-up one so it can still be listed.
      std::string id = offer.is_object() && offer.contains("id") && offer["id"].is_string()
                           ? offer["id"].get<std::string>()
                           : "offer-" + std::to_string(data_.order.size() + 1);
      if (!data_.tasks.contains(id)) data_.order.push_back(id);
      TaskRecord record;
      record.id = id;
      record.offer = offer;
      data_.tasks[id] = record;
    }
    for (const auto& id : data_.order)
      if (offerable(data_.tasks.at(id))) list.push_back(data_.tasks.at(id).offer);
  }
  size_t woken = !added.empty() && wake ? wakes_.wakeAll() : 0;
  return Reply::json(200, Json{{"offers", list}, {"woken", woken}});
}

Reply ExecutorApi::controlTasks(const ApiRequest& request) {
  auto id = requiredString(request.json, "id");
  std::lock_guard lock(mutex_);
  Json list = Json::array();
  for (const auto& taskID : data_.order)
    if (!id || *id == taskID) list.push_back(data_.tasks.at(taskID).toJson());
  return Reply::json(200, Json{{"tasks", list}});
}

Reply ExecutorApi::controlAnswers(const ApiRequest& request) {
  try {
    std::lock_guard lock(mutex_);
    Script& script = data_.script;
    const Json& body = request.json;
    script.leaseSeconds = integer(body, "leaseSeconds", script.leaseSeconds);
    boolean(body, "reofferExpired", script.reofferExpired);
    for (auto [key, slot] : {std::pair{"authorizeSend", &script.authorizeSend},
                             {"sendStart", &script.sendStart},
                             {"heartbeat", &script.heartbeat},
                             {"quotaReport", &script.quotaReport}}) {
      if (!body.contains(key)) continue;
      if (!body[key].is_object()) throw std::invalid_argument(std::string("\"") + key + "\" is an object");
      *slot = body[key];
    }
    return Reply::json(200, Json{{"leaseSeconds", script.leaseSeconds},
                                 {"reofferExpired", script.reofferExpired},
                                 {"authorizeSend", script.authorizeSend},
                                 {"sendStart", script.sendStart},
                                 {"heartbeat", script.heartbeat},
                                 {"quotaReport", script.quotaReport}});
  } catch (const std::invalid_argument& error) {
    return Reply::error(400, "invalid_request", error.what());
  }
}

Reply ExecutorApi::controlCounts(const ApiRequest&) {
  std::lock_guard lock(mutex_);
  return Reply::json(200, Json{{"syncs", data_.syncs},
                               {"signOuts", data_.signOuts},
                               {"heartbeats", data_.heartbeats},
                               {"quotaReports", data_.quotaReports}});
}

Reply ExecutorApi::controlQuotaReports(const ApiRequest& request) {
  try {
    const Json& body = request.json;
    std::deque<Json> answers;
    bool replaceAnswers = body.contains("answers");
    if (replaceAnswers) {
      if (!body["answers"].is_array()) throw std::invalid_argument("\"answers\" is an array");
      for (const auto& scripted : body["answers"]) answers.push_back(quotaAnswer(scripted));
    }
    std::optional<Json> fallback;
    if (body.contains("default")) fallback = quotaAnswer(body["default"]);

    std::lock_guard lock(mutex_);
    if (replaceAnswers) data_.script.quotaAnswers = std::move(answers);
    if (fallback) data_.script.quotaDefault = *fallback;
    Json queued = Json::array();
    for (const auto& scripted : data_.script.quotaAnswers) queued.push_back(scripted);
    return Reply::json(
        200, Json{{"received", data_.quotaReports}, {"answers", queued}, {"default", data_.script.quotaDefault}});
  } catch (const std::invalid_argument& error) {
    return Reply::error(400, "invalid_request", error.what());
  }
}

}  // namespace corvane::devcoordinator
