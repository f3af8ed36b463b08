#include "executor/quota/WindowLifecycle.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "executor/quota/ResetEvidence.h"
#include "executor/quota/WindowKey.h"
#include "executor/support/CVError.h"
#include "executor/support/PrivateFiles.h"

namespace corvane {

namespace fs = std::filesystem;

namespace {

// How far a reset time may lie from one full window length ahead of the
// reading and still count as floating with the clock.
constexpr double nearFullToleranceSeconds = 8;
// How long a reset time must hold still for the window to count as started.
constexpr double settledSeconds = 15;
// How long the reset time must have drifted for the window to count as
// waiting, over at least this many consecutive readings.
constexpr double driftSeconds = 20;
constexpr int64_t driftReadings = 2;

const Json* child(const Json* value, std::string_view key) { return value ? member(*value, key) : nullptr; }

bool isText(const Json* value, std::string_view text) {
  return value && value->is_string() && value->get_ref<const std::string&>() == text;
}

bool isTrue(const Json* value) { return value && value->is_boolean() && value->get<bool>(); }

std::optional<std::string> text(const Json* value) {
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<double> number(const Json* value) { return ResetEvidence::number(value); }

double unixSeconds(WallTime time) { return std::chrono::duration<double>(time.time_since_epoch()).count(); }

// The codex bucket of a quota sample: the limit map's, else "rateLimits".
const Json* codexBucket(const Json& sample) {
  const Json* limits = member(sample, "rateLimits");
  const Json* bucket = child(child(limits, "rateLimitsByLimitId"), "codex");
  if (bucket && bucket->is_object()) return bucket;
  return child(limits, "rateLimits");
}

std::optional<Json> readState(const fs::path& file) {
  struct stat info {};
  if (lstat(file.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) throw CVError::storage();
  return readJSONObjectFile(file, WindowLifecycle::stateFileLimit);
}

Json valueOrNull(const Json* value) { return value ? *value : Json(); }

}  // namespace

Json WindowLifecycle::record(const Json& summary, const fs::path& file, WallTime now) {
  const double at = unixSeconds(now);
  auto stored = readState(file);
  bool sameIdentity = stored && text(member(*stored, "email")) == text(member(summary, "email")) &&
                      text(member(*stored, "planType")) == text(member(summary, "planType"));
  const Json* history = sameIdentity ? member(*stored, "windows") : nullptr;
  const Json* bucket = codexBucket(summary);

  Json records = Json::object();
  Json states = Json::object();
  for (const char* slot : {"primary", "secondary"}) {
    const Json* window = child(bucket, slot);
    const Json* durationValue = child(window, "windowDurationMins");
    auto duration = number(durationValue);
    auto used = number(child(window, "usedPercent"));
    if (!window || !window->is_object() || !duration || !used) continue;
    auto key = windowKey(durationValue);
    if (!key) continue;  // a length no key can name
    auto resetsAt = number(member(*window, "resetsAt"));
    bool nearFull = resetsAt && std::fabs((*resetsAt - at) - 60 * *duration) <= nearFullToleranceSeconds;

    const Json* previous = child(history, *key);
    double previousAt = number(child(previous, "at")).value_or(0);
    bool fresh = previousAt < at && at - previousAt <= historySeconds;
    auto previousReset = number(child(previous, "reset"));
    bool sameReset = resetsAt && previousReset && *resetsAt == *previousReset;
    double previousDriftAt = number(child(previous, "driftAt")).value_or(previousAt);
    int64_t previousDriftCount = wholeNumber(child(previous, "driftCount")).value_or(0);
    const Json* previousState = child(previous, "state");

    double candidateAt = at;
    double driftAt = at;
    int64_t driftCount = 0;
    bool drifting = false;
    bool waitingCarry = false;
    if (!sameReset) {
      // A reset time that moved by as much as the clock did, a full window
      // ahead both times and nothing used: the window has not started.
      if (fresh && nearFull && isTrue(child(previous, "nearFullDuration")) && *used == 0 &&
          number(child(previous, "used")) == 0.0) {
        drifting = true;
        driftAt = previousDriftAt;
        driftCount =
            previousDriftCount == std::numeric_limits<int64_t>::max() ? previousDriftCount : previousDriftCount + 1;
      }
    } else if (fresh) {
      candidateAt = number(child(previous, "candidateAt")).value_or(at);
      if (nearFull && isText(previousState, "waiting")) {
        waitingCarry = true;
        driftAt = previousDriftAt;
        driftCount = previousDriftCount;
      }
    }

    const char* state = "unknown";
    if (resetsAt && *resetsAt > at && *used > 0)
      state = "active";
    else if (sameReset && fresh && *resetsAt > at &&
             (isText(previousState, "active") || at - candidateAt >= settledSeconds))
      state = "active";
    else if (drifting && driftCount >= driftReadings && at - driftAt >= driftSeconds)
      state = "waiting";
    else if (waitingCarry)
      state = "waiting";

    records[*key] = {
        {"at", at},
        {"reset", resetsAt ? Json(*resetsAt) : Json()},
        {"used", *used},
        {"candidateAt", candidateAt},
        {"nearFullDuration", nearFull},
        {"driftAt", driftAt},
        {"driftCount", driftCount},
        {"state", state},
    };
    states[*key] = state;
  }

  atomicPrivateJSON({{"email", valueOrNull(member(summary, "email"))},
                     {"planType", valueOrNull(member(summary, "planType"))},
                     {"windows", std::move(records)}},
                    file);
  return states;
}

std::string WindowLifecycle::fingerprint(const Json& sample) {
  Json reduced = sample;
  if (reduced.is_object()) {
    reduced.erase("resetEvidence");
    reduced.erase("_resetDiagnostic");
    reduced["bankedStable"] = valueOrNull(child(member(sample, "resetEvidence"), "bankedStable"));
    const Json* states = member(sample, "windowStates");
    auto withoutFloatingReset = [&](Json& bucket) {
      if (!bucket.is_object()) return;
      for (const char* slot : {"primary", "secondary"}) {
        auto window = bucket.find(slot);
        if (window == bucket.end() || !window->is_object()) continue;
        const Json* duration = member(*window, "windowDurationMins");
        if (!number(duration)) continue;
        auto key = windowKey(duration);
        if (!key || !isText(child(states, *key), "active")) window->erase("resetsAt");
      }
    };
    auto limits = reduced.find("rateLimits");
    if (limits != reduced.end() && limits->is_object()) {
      if (auto bucket = limits->find("rateLimits"); bucket != limits->end()) withoutFloatingReset(*bucket);
      auto byLimit = limits->find("rateLimitsByLimitId");
      if (byLimit != limits->end() && byLimit->is_object())
        if (auto codex = byLimit->find("codex"); codex != byLimit->end()) withoutFloatingReset(*codex);
    }
  }
  return compactJSON(reduced);
}

}  // namespace corvane
