#include "executor/agent/QuotaSampler.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "executor/agent/QuotaReport.h"
#include "executor/quota/WindowKey.h"
#include "executor/quota/WindowLifecycle.h"
#include "platform/Clock.h"
#include "platform/Log.h"

namespace corvane {

namespace {

constexpr const char* reportPath = "/v1/executor/quota-report";
constexpr const char* deleteReport = "DELETE FROM quota_outbox WHERE account_id=?";

const platform::Logger& log() {
  static const platform::Logger logger("executor");
  return logger;
}

bool isRefusal(const std::optional<CVError>& error) {
  if (!error || error->kind() != CVError::Kind::network || !error->status()) return false;
  int status = *error->status();
  return status == 400 || status == 403 || status == 404 || status == 409;
}

// A runtime message that may stand as an error code of its own.
bool isCode(const std::string& text) {
  return !text.empty() && text.size() <= 80 && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

std::string errorCode(const std::optional<CVError>& error) {
  if (!error) return "executor_error";
  switch (error->kind()) {
    case CVError::Kind::invalid:
      return "invalid_response";
    case CVError::Kind::network:
      return "coordinator_unavailable";
    case CVError::Kind::runtime:
      return error->message();
    case CVError::Kind::storage:
      return "journal_unavailable";
    case CVError::Kind::timeout:
      return "runtime_timeout";
  }
  return "executor_error";
}

bool due(const QuotaSamplingPlan& plan, const QuotaSamplingCursor& cursor, WallTime serverNow, bool foreground,
         double now) {
  double interval = foreground ? QuotaSampler::foregroundSeconds : plan.interval;
  // A planned reset the cursor has not handled yet is read at once.
  if (plan.nextResetAt && *plan.nextResetAt <= serverNow && plan.nextResetAt != cursor.lastResetChecked) return true;
  if (std::isfinite(cursor.lastReportAt) && now - cursor.lastReportAt >= QuotaSamplingCursor::reportSeconds)
    return true;
  if (now < cursor.confirmationUntil && interval >= QuotaSampler::foregroundSeconds)
    return now - cursor.lastAttempt >= QuotaSampler::foregroundSeconds;
  return now - cursor.lastAttempt >= interval;
}

WallTime movedBack(WallTime time, double seconds) {
  return time - std::chrono::microseconds(std::llround(seconds * 1e6));
}

// Frees the account's credential and read slot however its work ended.
class Claim {
 public:
  Claim(Agent& agent, std::string credentialID) : agent_(agent), credentialID_(std::move(credentialID)) {}
  ~Claim() {
    agent_.withSamplingState([&](Agent::SamplingState& state) {
      state.busy.erase(credentialID_);
      --state.readPingCount;
    });
  }
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;

 private:
  Agent& agent_;
  std::string credentialID_;
};

}  // namespace

void QuotaSampler::sample(Agent& agent) {
  // A std::map is already in account order.
  std::map<std::string, QuotaSamplingPlan> plans = agent.samplingPlans();
  // Named references rather than a structured binding: the lambda below uses
  // both, and clang before 16 cannot capture a binding.
  for (const auto& entry : plans) {
    const std::string& account = entry.first;
    const QuotaSamplingPlan& plan = entry.second;
    double now = agent.timer().clock().continuousSeconds();
    double left = agent.remaining(plan.validUntil);
    if (left <= 0) continue;
    std::optional<Json> pending = agent.journal().quotaReport(account);
    bool foreground = plan.foregroundUntil && agent.remaining(*plan.foregroundUntil) > 0;
    bool resetDue = plan.nextResetAt && agent.remaining(*plan.nextResetAt) <= 0;
    WallTime serverNow = movedBack(plan.validUntil, left);

    bool claimed = false;
    agent.withSamplingState([&](Agent::SamplingState& state) {
      if (!state.accepting || state.busy.contains(plan.credentialID)) return;
      if (state.readPingCount >= Agent::readPingSlots) return;
      // The plans may have changed since they were copied; a new binding or
      // credential is another account's work now.
      auto held = state.plans.find(account);
      if (held == state.plans.end() || held->second.bindingVersion != plan.bindingVersion ||
          held->second.credentialID != plan.credentialID)
        return;
      auto stored = state.cursors.find(account);
      QuotaSamplingCursor cursor = stored == state.cursors.end() ? QuotaSamplingCursor{} : stored->second;
      if (cursor.retryAt > now) return;
      // A report in the outbox is always due: it has to go out.
      if (!pending && !due(plan, cursor, serverNow, foreground, now)) return;
      if (resetDue) {
        if (cursor.lastResetChecked != plan.nextResetAt)
          cursor.confirmationUntil = now + QuotaSamplingCursor::confirmationSeconds;
        cursor.lastResetChecked = plan.nextResetAt;
      }
      cursor.lastAttempt = now;
      state.cursors[account] = cursor;
      state.busy.insert(plan.credentialID);
      ++state.readPingCount;
      claimed = true;
    });
    if (!claimed) continue;

    std::optional<Json> response;
    {
      Claim claim(agent, plan.credentialID);
      response = report(agent, Work{plan, pending, resetDue, serverNow, now});
    }
    // The coordinator may hand out tasks with its receipt.
    if (response) agent.acceptOffers(*response);
  }
}

std::optional<Json> QuotaSampler::report(Agent& agent, const Work& work) {
  const QuotaSamplingPlan& plan = work.plan;
  const std::string& account = plan.accountID;
  Journal& journal = agent.journal();
  const platform::Clock& clock = agent.timer().clock();
  // Changes the stored cursor, if the account still has one: a
  // synchronisation may have dropped it meanwhile, and an old copy must
  // never be written back over a newer one.
  auto updateCursor = [&](const std::function<void(QuotaSamplingCursor&)>& change) {
    agent.withSamplingState([&](Agent::SamplingState& state) {
      auto stored = state.cursors.find(account);
      if (stored != state.cursors.end()) change(stored->second);
    });
  };

  std::optional<Json> pending = work.pending;
  std::optional<Json> response;
  std::string outcome = "sample_read_failed";
  try {
    bool refresh = false;
    std::optional<Json> recovery;
    Json report;
    bool resend = false;

    if (pending) {
      auto version = wholeNumber(member(*pending, "bindingVersion"));
      if (version && *version == plan.bindingVersion) {
        if (QuotaReport::needsRefresh(*pending, work.serverNow)) {
          refresh = true;
          recovery = QuotaReport::recovery(*pending, work.serverNow);
          outcome = "refresh_read_failed";
        } else {
          report = *pending;
          resend = true;
        }
      } else {
        agent.diagnoseQuota(account, "binding_changed", pending, std::nullopt);
        outcome = "report_upload_failed";
        journal.execute(deleteReport, {account});
        pending.reset();
        outcome = "sample_read_failed";
      }
    }

    if (!resend) {
      std::string readStartedAt = formatTime(clock.wallTime());
      double deadline = platform::continuousSeconds() + std::min(agent.remaining(plan.validUntil), readSeconds);
      Json sample = codex_.readAccount(plan.credentialID, deadline);

      outcome = "sample_persistence_failed";
      bool should = false;
      agent.withSamplingState([&](Agent::SamplingState& state) {
        auto stored = state.cursors.find(account);
        QuotaSamplingCursor cursor = stored == state.cursors.end() ? QuotaSamplingCursor{} : stored->second;
        double at = clock.continuousSeconds();
        cursor.observed(sample, at);
        should = cursor.shouldReport(sample, at, work.resetDue);
        state.cursors[account] = cursor;
      });

      if (!should && !refresh) {
        // Nothing new and nothing owed: an unchanged comparison is not even
        // worth a diagnostic.
        const Json* reset = member(sample, "_resetDiagnostic");
        const Json* reason = reset ? member(*reset, "reason") : nullptr;
        if (!(reason && *reason == "unchanged"))
          agent.diagnoseQuota(account, "sample_not_uploaded", Json{{"data", sample}}, std::nullopt);
        return std::nullopt;
      }
      if (refresh)
        agent.diagnoseQuota(account, recovery ? "refresh_retaining_recovery" : "refresh_without_recovery", pending,
                            std::nullopt);

      report = Json{{"accountId", account},
                    {"bindingVersion", plan.bindingVersion},
                    {"data", sample},
                    {"readStartedAt", readStartedAt},
                    {"readCompletedAt", formatTime(clock.wallTime())}};
      if (recovery) report["recoveryReport"] = *recovery;
      journal.saveQuotaReport(account, report);
      agent.diagnoseQuota(account, "sample_persisted", report, std::nullopt);
    }

    outcome = "report_upload_failed";
    Json body = report;
    // The mark is ours alone.
    body.erase("refreshRequired");
    response = agent.client().post(reportPath, body);

    std::optional<std::string> fingerprint;
    if (const Json* data = member(report, "data"); data && data->is_object())
      fingerprint = WindowLifecycle::fingerprint(*data);

    const Json* receipt = member(*response, "recoveryReceipt");
    if (receipt && !receipt->is_object()) receipt = nullptr;
    const Json* status = receipt ? member(*receipt, "status") : nullptr;
    std::string statusText = status && status->is_string() ? status->get<std::string>() : "";
    bool known = statusText == "accepted" || statusText == "duplicate" || statusText == "rejected";
    bool done = !report.contains("recoveryReport") || known;

    if (done) {
      journal.execute(deleteReport, {account});
      Json recorded = report;
      if (receipt) recorded["recoveryReceipt"] = *receipt;
      agent.diagnoseQuota(account,
                          statusText == "rejected"    ? "recovery_rejected"
                          : statusText == "duplicate" ? "recovery_duplicate"
                                                      : "report_acknowledged",
                          recorded, std::nullopt);
    } else {
      // The coordinator has the reading but not, as far as we know, its
      // recovery evidence: read again and send the evidence along.
      Json marked = report;
      marked["refreshRequired"] = true;
      journal.saveQuotaReport(account, marked);
      agent.diagnoseQuota(account, "recovery_ack_missing", body, std::nullopt);
    }

    double at = clock.continuousSeconds();
    updateCursor([&](QuotaSamplingCursor& cursor) {
      cursor.lastReported = fingerprint;
      cursor.lastReportAt = at;
      cursor.retryAt = done ? 0 : at + retrySeconds;
    });
  } catch (const CVError& error) {
    failed(agent, work, outcome, error, pending.has_value());
  } catch (const std::exception&) {
    failed(agent, work, outcome, std::nullopt, pending.has_value());
  }
  return response;
}

void QuotaSampler::failed(Agent& agent, const Work& work, const std::string& outcome,
                          const std::optional<CVError>& error, bool hadPending) {
  const std::string& account = work.plan.accountID;
  Journal& journal = agent.journal();
  const platform::Clock& clock = agent.timer().clock();
  double retryAt = clock.continuousSeconds() + retrySeconds;
  auto updateCursor = [&](const std::function<void(QuotaSamplingCursor&)>& change) {
    agent.withSamplingState([&](Agent::SamplingState& state) {
      auto stored = state.cursors.find(account);
      if (stored != state.cursors.end()) change(stored->second);
    });
  };

  if (isRefusal(error)) {
    int status = *error->status();
    try {
      std::optional<Json> entry = journal.quotaReport(account);
      if (status == 400 && entry) {
        // The coordinator could not use it as it is; a new reading may do.
        (*entry)["refreshRequired"] = true;
        journal.saveQuotaReport(account, *entry);
        agent.diagnoseQuota(account, "report_rejected_refresh", entry, status);
      } else {
        // It belongs to a binding the coordinator no longer has.
        agent.diagnoseQuota(account, "report_binding_rejected", entry, status);
        journal.execute(deleteReport, {account});
      }
    } catch (const std::exception&) {
      log().error("Quota outbox update failed");
      agent.healthFailure();
    }
    updateCursor([&](QuotaSamplingCursor& cursor) {
      cursor.retryAt = retryAt;
      cursor.lastAttempt = -std::numeric_limits<double>::infinity();
    });
    return;
  }

  Json value = Json::object();
  try {
    if (auto entry = journal.quotaReport(account)) value = *entry;
  } catch (const std::exception&) {
  }
  std::string code = errorCode(error);
  value["errorCode"] = code;
  std::optional<int> status = error && error->kind() == CVError::Kind::network ? error->status() : std::optional<int>();
  agent.diagnoseQuota(account, outcome, value, status);
  updateCursor([&](QuotaSamplingCursor& cursor) { cursor.retryAt = retryAt; });

  if (error && error->kind() == CVError::Kind::storage) {
    agent.healthFailure();
    return;
  }
  if (hadPending) return;
  try {
    if (journal.quotaReport(account)) return;
    // The coordinator hears that the account could not be read.
    std::string stamp = formatTime(clock.wallTime());
    bool runtime = error && error->kind() == CVError::Kind::runtime;
    journal.saveQuotaReport(account, Json{{"accountId", account},
                                          {"bindingVersion", work.plan.bindingVersion},
                                          {"errorCode", runtime && isCode(code) ? code : "quota_unavailable"},
                                          {"readStartedAt", stamp},
                                          {"readCompletedAt", stamp}});
  } catch (const std::exception&) {
    log().error("Quota error report not stored");
    agent.healthFailure();
  }
}

}  // namespace corvane
