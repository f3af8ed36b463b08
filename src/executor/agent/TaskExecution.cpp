#include "executor/agent/TaskExecution.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "executor/support/CVError.h"
#include "localization/L10n.h"
#include "platform/Log.h"

namespace corvane {

namespace {

std::string taskPath(const std::string& id, std::string_view step) {
  return "/v1/executor/tasks/" + id + "/" + std::string(step);
}

Json outcome(std::string_view result, std::string_view code) {
  return Json{{"result", std::string(result)}, {"errorCode", std::string(code)}};
}

// What the journal's action column says: restart recovery tells a manual
// ping that never reached the send point from an automatic one by it.
std::string journalAction(const ExecutorTask& task) {
  if (task.action == TaskAction::ping) return task.automatic ? "ping" : "manual_ping";
  return std::string(rawValue(task.action));
}

// A ping that was not sent because the send was refused or is no longer
// allowed: an automatic one was simply not needed, a manual one failed
// before the send point and may be uncertain after it.
std::string_view refusedSend(const ExecutorTask& task, bool afterSendStart) {
  if (task.automatic) return "skipped";
  return afterSendStart ? "unknown" : "failed";
}

bool sameTask(const ExecutorTask& offer, const ExecutorTask& claimed) {
  // A manual offer claimed as automatic runs as automatic (the send is then
  // only made with the coordinator's permit); the other way round would
  // drop that check, so it is a mismatch.
  return claimed.id == offer.id && claimed.accountID == offer.accountID && claimed.credentialID == offer.credentialID &&
         claimed.bindingVersion == offer.bindingVersion && claimed.action == offer.action &&
         (!offer.automatic || claimed.automatic);
}

std::string errorCode(const CVError& error) {
  switch (error.kind()) {
    case CVError::Kind::invalid:
      return "invalid_response";
    case CVError::Kind::network:
      return "coordinator_unavailable";
    case CVError::Kind::runtime:
      return error.message().empty() ? "executor_error" : error.message();
    case CVError::Kind::timeout:
      return "runtime_timeout";
    case CVError::Kind::storage:
      break;
  }
  return "executor_error";
}

Json mapped(const ExecutorTask& task, const std::string& code) {
  return outcome(task.action == TaskAction::ping ? "unknown" : "failed", code);
}

bool isTrue(const Json* value) { return value && value->is_boolean() && value->get<bool>(); }

const platform::Logger& logger() {
  static const platform::Logger log("executor");
  return log;
}

// Thrown inside the automatic preflight to give it up without an error of
// its own (a deadline that has passed).
struct PreflightFailed {};

}  // namespace

TaskExecution::TaskExecution(CodexOperations& operations, const SupportDiagnostics* diagnostics,
                             QuotaDiagnostics diagnoseQuota)
    : operations_(operations), diagnostics_(diagnostics), diagnoseQuota_(std::move(diagnoseQuota)) {}

std::function<void(Agent&, const ExecutorTask&)> TaskExecution::hook() const {
  return [this](Agent& agent, const ExecutorTask& task) { execute(agent, task); };
}

std::string TaskExecution::loggedCode(std::string_view code) {
  bool plain = !code.empty() && code.size() <= 80 && std::all_of(code.begin(), code.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
  return plain ? std::string(code) : "executor_error";
}

void TaskExecution::diagnose(const std::string& accountID, const std::string& reason, const Json& report) const {
  if (!diagnoseQuota_) return;
  // Diagnostics of quota readings never decide a task's result.
  try {
    diagnoseQuota_(accountID, reason, report, std::nullopt);
  } catch (const std::exception&) {
  }
}

void TaskExecution::recordEvent(Agent& agent, std::string_view code, const ExecutorTask& task,
                                std::optional<int64_t> durationMs) const {
  if (!diagnostics_) return;
  diagnostics_->record(code, DiagnosticTask{task.id, task.accountID, std::string(rawValue(task.action))}, durationMs,
                       std::nullopt, agent.timer().clock().wallTime());
}

void TaskExecution::execute(Agent& agent, const ExecutorTask& offer) const {
  Journal& journal = agent.journal();
  const platform::Clock& clock = agent.timer().clock();
  auto now = [&clock] { return formatTime(clock.wallTime()); };

  journal.execute("UPDATE health SET nonce=nonce+1 WHERE id=1");
  journal.pruneQuotaDiagnostics(clock.wallTime());
  if (journal.contains(offer.id)) return;
  if (agent.remaining(offer.expiresAt) <= 0) return;
  Agent::Standing standing = agent.standing();
  if ((standing.revoked || standing.signingOut) && offer.action != TaskAction::remove) return;

  Json response = agent.client().post(taskPath(offer.id, "claim"), Json::object());
  ExecutorTask task(object(member(response, "task")));
  if (!sameTask(offer, task)) throw CVError::invalid(L10n::text("Claimed task does not match"));
  std::string lease = string(member(response, "leaseId"), "leaseId");
  if (lease.size() > maximumLeaseLength) throw CVError::invalid(L10n::text("Invalid lease"));
  WallTime leaseExpiresAt = parseTime(member(response, "leaseExpiresAt"));

  std::string stage = task.action == TaskAction::ping ? "preflight" : "sending";
  journal.execute("INSERT INTO tasks(id,lease_id,stage,action) VALUES (?,?,?,?)",
                  {task.id, lease, stage, journalAction(task)});
  // From here on the task ends with exactly one stored result.
  agent.requestWake();

  Json result = outcome("failed", "lease_expired");
  double start = clock.continuousSeconds();
  recordEvent(agent, "task_started", task, std::nullopt);

  bool storageFailed = false;
  try {
    std::unique_ptr<CodexOperations> operations =
        operations_.forTask(CodexTaskLabel{task.id, task.accountID, std::string(rawValue(task.action))});
    double left = agent.remaining(leaseExpiresAt);
    if (left > leaseMargin && !agent.standing().stopped) {
      double deadline = clock.continuousSeconds() + left - leaseMargin;
      standing = agent.standing();
      if ((standing.revoked || standing.signingOut) && task.action != TaskAction::remove) {
        result = outcome("failed", "device_revoked");
      } else {
        switch (task.action) {
          case TaskAction::read: {
            std::string readStartedAt = now();
            Json data = operations->readAccount(task.credentialID, deadline);
            diagnose(task.accountID, "task_sample",
                     Json{{"data", data}, {"bindingVersion", task.bindingVersion}, {"taskId", task.id}});
            result = Json{
                {"result", "succeeded"}, {"data", data}, {"readStartedAt", readStartedAt}, {"readCompletedAt", now()}};
            break;
          }
          case TaskAction::connect: {
            auto clearLogin = [&] {
              if (agent.hooks().onLogin) agent.hooks().onLogin(task.id, std::nullopt);
            };
            CodexOperations::Connection connection;
            try {
              connection = operations->connect(
                  task.credentialID, deadline, [&](const std::string& url, const std::string& code) {
                    if (agent.hooks().onLogin)
                      agent.hooks().onLogin(task.id, Json{{"id", task.id},
                                                          {"verificationUrl", url},
                                                          {"userCode", code},
                                                          {"expiresAt", formatTime(leaseExpiresAt)}});
                    agent.client().post(
                        taskPath(task.id, "progress"),
                        Json{{"leaseId", lease}, {"login", {{"verificationUrl", url}, {"userCode", code}}}});
                  });
            } catch (...) {
              clearLogin();
              throw;
            }
            clearLogin();
            result = Json{{"result", "succeeded"},
                          {"data", connection.data},
                          {"readStartedAt", connection.readStartedAt},
                          {"readCompletedAt", connection.readCompletedAt}};
            break;
          }
          case TaskAction::remove: {
            Json receipt = object(operations->remove(task.credentialID, deadline));
            // Nothing of the account may go out after its removal.
            journal.execute("DELETE FROM quota_outbox WHERE account_id=?", {task.accountID});
            journal.execute("DELETE FROM quota_diagnostics WHERE account_id=?", {task.accountID});
            receipt["verifiedAt"] = now();
            result = Json{{"result", "succeeded"}, {"cleanupReceipt", receipt}};
            break;
          }
          case TaskAction::ping:
            if (task.automatic)
              preflight(agent, *operations, task, lease, deadline, result);
            else
              sendPing(agent, *operations, task, lease, deadline, std::nullopt, result);
            break;
        }
      }
    }
  } catch (const CVError& error) {
    if (error.kind() == CVError::Kind::storage) {
      agent.healthFailure();
      storageFailed = true;
    } else {
      result = mapped(task, errorCode(error));
    }
  } catch (const std::exception&) {
    result = mapped(task, "executor_error");
  }

  complete(agent, task, result, start);
  if (storageFailed) throw CVError::storage();
}

void TaskExecution::preflight(Agent& agent, CodexOperations& operations, const ExecutorTask& task,
                              const std::string& lease, double deadline, Json& result) const {
  const platform::Clock& clock = agent.timer().clock();
  std::optional<WallTime> permit;
  try {
    std::string readStartedAt = formatTime(clock.wallTime());
    Json data = operations.readAccount(task.credentialID, deadline);
    diagnose(task.accountID, "preflight_sample",
             Json{{"data", data}, {"bindingVersion", task.bindingVersion}, {"taskId", task.id}});
    if (clock.continuousSeconds() >= deadline) throw PreflightFailed{};

    Json answer = agent.client().post(taskPath(task.id, "authorize-send"),
                                      Json{{"leaseId", lease},
                                           {"data", data},
                                           {"readStartedAt", readStartedAt},
                                           {"readCompletedAt", formatTime(clock.wallTime())}});
    const Json* allowed = member(answer, "allowed");
    const Json* code = member(answer, "errorCode");
    diagnose(task.accountID, "preflight_decision",
             Json{{"taskId", task.id},
                  {"sendAllowed", isTrue(allowed)},
                  {"errorCode", code && code->is_string() ? code->get<std::string>() : std::string()}});
    if (!isTrue(allowed)) {
      bool notFull = code && code->is_string() && code->get<std::string>() == "quota_not_full";
      result = outcome("skipped", notFull ? "quota_not_full" : "quota_unavailable");
      return;
    }
    permit = parseTime(member(answer, "permitExpiresAt"));
    if (agent.remaining(*permit) <= 0 || clock.continuousSeconds() >= deadline) throw PreflightFailed{};
  } catch (const CVError& error) {
    if (error.kind() == CVError::Kind::storage) throw;
    result = outcome("skipped", "quota_unavailable");
    return;
  } catch (const PreflightFailed&) {
    result = outcome("skipped", "quota_unavailable");
    return;
  } catch (const std::exception&) {
    result = outcome("skipped", "quota_unavailable");
    return;
  }
  sendPing(agent, operations, task, lease, deadline, permit, result);
}

void TaskExecution::sendPing(Agent& agent, CodexOperations& operations, const ExecutorTask& task,
                             const std::string& lease, double deadline, std::optional<WallTime> permit,
                             Json& result) const {
  const platform::Clock& clock = agent.timer().clock();
  auto mayStillSend = [&] {
    Agent::Standing standing = agent.standing();
    return !standing.stopped && !standing.revoked && !standing.signingOut && clock.continuousSeconds() < deadline;
  };

  if (!mayStillSend()) {
    result = outcome(refusedSend(task, false), "send_not_permitted");
    return;
  }
  // The point of no return: from here a restart cannot rule out that the
  // coordinator heard of the send, and reports the ping as unknown.
  agent.journal().execute("UPDATE tasks SET stage='sending' WHERE id=? AND stage='preflight'", {task.id});

  Json answer;
  try {
    answer = agent.client().post(taskPath(task.id, "send-start"), Json{{"leaseId", lease}});
  } catch (const CVError& error) {
    bool refused =
        error.kind() == CVError::Kind::network && error.status() && *error.status() >= 400 && *error.status() <= 499;
    result = refused ? outcome(refusedSend(task, false), "send_not_permitted")
                     : outcome(refusedSend(task, true), "send_start_unconfirmed");
    return;
  } catch (const std::exception&) {
    result = outcome(refusedSend(task, true), "send_start_unconfirmed");
    return;
  }
  if (!isTrue(member(answer, "ok"))) {
    result = outcome(refusedSend(task, true), "send_start_unconfirmed");
    return;
  }
  if (permit && agent.remaining(*permit) <= 0) {
    result = outcome("skipped", "send_permit_expired");
    return;
  }
  if (!mayStillSend()) {
    result = outcome(refusedSend(task, true), "send_not_permitted");
    return;
  }

  result = operations.ping(task.credentialID, deadline);
  if (!result.is_object()) result = Json{{"result", "unknown"}};
  agent.restartSampling(task.accountID, clock.continuousSeconds() + confirmationSeconds);
}

void TaskExecution::complete(Agent& agent, const ExecutorTask& task, const Json& result, double start) const {
  const platform::Clock& clock = agent.timer().clock();
  const Json* value = member(result, "result");
  std::string resultValue = value && value->is_string() ? value->get<std::string>() : "";
  std::string code = "task_" + (resultValue.empty() ? std::string("unknown") : resultValue);

  double elapsed = std::floor((clock.continuousSeconds() - start) * 1000);
  auto durationMs = static_cast<int64_t>(std::clamp(std::isfinite(elapsed) ? elapsed : 0.0, 0.0, 86'400'000.0));
  recordEvent(agent, code, task, durationMs);

  if (task.action != TaskAction::remove) {
    Json report = result.is_object() ? result : Json::object();
    report["taskId"] = task.id;
    diagnose(task.accountID, code, report);
  }

  const Json* errorCode = member(result, "errorCode");
  if ((resultValue == "failed" || resultValue == "unknown") && errorCode && errorCode->is_string())
    logger().error("Task outcome: action=" + std::string(rawValue(task.action)) +
                   " code=" + loggedCode(errorCode->get_ref<const std::string&>()));

  try {
    agent.journal().finish(task.id, result);
  } catch (const std::exception&) {
    // The row stays without a result; the next start's recovery gives it one.
    agent.healthFailure();
  }
}

}  // namespace corvane
