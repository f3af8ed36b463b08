#include "executor/quota/ResetEvidence.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <set>
#include <string>
#include <string_view>

#include "executor/quota/WindowKey.h"
#include "executor/support/CVError.h"
#include "executor/support/PrivateFiles.h"
#include "executor/support/Uuid.h"

namespace corvane {

namespace fs = std::filesystem;

namespace {

// member() of a value that may itself be absent.
const Json* child(const Json* value, std::string_view key) { return value ? member(*value, key) : nullptr; }

bool isText(const Json* value, std::string_view text) {
  return value && value->is_string() && value->get_ref<const std::string&>() == text;
}

std::optional<std::string> text(const Json* value) {
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

bool isWhole(double value) { return std::floor(value) == value; }

// Both absent, or both present and equal.
bool same(const Json* a, const Json* b) { return (!a && !b) || (a && b && *a == *b); }

double unixSeconds(WallTime time) { return std::chrono::duration<double>(time.time_since_epoch()).count(); }

// E-mail addresses compare without regard to the case of their ASCII
// letters, which is all a mailbox name written twice by one service can
// differ in.
std::string lowercased(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// The kept fields of one credit, or nothing when it breaks a rule. ids
// collects the ids seen so far, so a repeated one breaks the rule too.
std::optional<Json> credit(const Json& value, std::set<std::string>& ids) {
  if (!value.is_object()) return std::nullopt;
  auto id = text(member(value, "id"));
  if (!id || id->empty() || id->size() > ResetEvidence::maximumCreditIDBytes || !ids.insert(*id).second)
    return std::nullopt;
  const Json* status = member(value, "status");
  if (!isText(status, "available") && !isText(status, "redeeming") && !isText(status, "redeemed") &&
      !isText(status, "unknown"))
    return std::nullopt;
  const Json* resetType = member(value, "resetType");
  if (!isText(resetType, "codexRateLimits") && !isText(resetType, "unknown")) return std::nullopt;
  const Json* grantedAt = member(value, "grantedAt");
  if (auto granted = ResetEvidence::number(grantedAt); !granted || *granted <= 0) return std::nullopt;
  Json out = {{"id", *id}, {"status", *status}, {"resetType", *resetType}, {"grantedAt", *grantedAt}};
  if (const Json* expiresAt = member(value, "expiresAt"); expiresAt && !expiresAt->is_null()) {
    if (auto expires = ResetEvidence::number(expiresAt); !expires || *expires <= 0) return std::nullopt;
    out["expiresAt"] = *expiresAt;
  }
  return out;
}

// The "credits" array of an observation's record, as stored.
const Json* storedCredits(const Json& observation) {
  const Json* credits = child(member(observation, "banked"), "credits");
  return credits && credits->is_array() ? credits : nullptr;
}

std::set<std::string> creditIDs(const Json* credits) {
  std::set<std::string> ids;
  if (credits)
    for (const auto& entry : *credits)
      if (auto id = text(member(entry, "id"))) ids.insert(*id);
  return ids;
}

// Whether every credit of both complete records is available and none has
// come or gone: nothing was granted or redeemed between the readings.
bool bankedStable(const std::optional<Json>& before, const std::optional<Json>& after) {
  if (!before || !after) return false;
  auto available = [](const Json& entry) { return isText(member(entry, "status"), "available"); };
  for (const auto& entry : *after)
    if (!available(entry)) return false;
  for (const auto& entry : *before) {
    if (!available(entry)) return false;
    bool kept = false;
    for (const auto& later : *after)
      if (same(member(entry, "id"), member(later, "id"))) kept = true;  // every later one is available
    if (!kept) return false;
  }
  return true;
}

}  // namespace

std::optional<double> ResetEvidence::number(const Json* value) {
  if (!value || !value->is_number()) return std::nullopt;
  double result = value->get<double>();
  if (!std::isfinite(result)) return std::nullopt;
  return result;
}

std::optional<Json> ResetEvidence::banked(const Json* value) {
  const Json* count = child(value, "availableCount");
  auto available = number(count);
  if (!available || *available < 0 || !isWhole(*available)) return std::nullopt;
  Json record = {{"availableCount", *count}};
  const Json* credits = child(value, "credits");
  if (!credits || !credits->is_array() || credits->size() > maximumCredits) return record;
  // One bad credit makes the list unreliable as a whole: it is dropped and
  // only the count is kept.
  Json kept = Json::array();
  std::set<std::string> ids;
  for (const auto& entry : *credits) {
    auto good = credit(entry, ids);
    if (!good) return record;
    kept.push_back(std::move(*good));
  }
  record["credits"] = std::move(kept);
  return record;
}

Json ResetEvidence::sample(const Json& summary, const Json& raw, WallTime now) {
  const Json* planType = member(summary, "planType");
  auto email = text(member(summary, "email"));
  const Json* limits = member(summary, "rateLimits");
  Json observation = {
      {"observedAt", unixSeconds(now)},
      {"planType", planType ? *planType : Json()},
      {"email", email ? lowercased(*email) : std::string()},
      {"rateLimits", limits && limits->is_object() ? *limits : Json::object()},
  };
  if (auto record = banked(member(raw, "rateLimitResetCredits"))) observation["banked"] = std::move(*record);
  return observation;
}

std::optional<Json> ResetEvidence::completeCredits(const Json& observation) {
  auto count = number(child(member(observation, "banked"), "availableCount"));
  const Json* credits = storedCredits(observation);
  if (!count || !credits) return std::nullopt;
  double available = 0;
  for (const auto& entry : *credits) {
    if (!isText(member(entry, "resetType"), "codexRateLimits")) return std::nullopt;
    const Json* status = member(entry, "status");
    if (isText(status, "unknown")) return std::nullopt;
    if (isText(status, "available")) ++available;
  }
  if (available != *count) return std::nullopt;
  return *credits;
}

Json ResetEvidence::windows(const Json& observation) {
  const Json* limits = member(observation, "rateLimits");
  const Json* bucket = child(child(limits, "rateLimitsByLimitId"), "codex");
  if (!bucket || !bucket->is_object()) bucket = child(limits, "rateLimits");
  Json keyed = Json::object();
  for (const char* slot : {"primary", "secondary"}) {
    const Json* window = child(bucket, slot);
    if (!window || !window->is_object()) continue;
    auto key = windowKey(member(*window, "windowDurationMins"));
    if (key == fiveHourWindow || key == weeklyWindow) keyed[*key] = *window;
  }
  return keyed;
}

std::optional<Json> ResetEvidence::compare(const std::optional<Json>& previous, const Json& current) {
  if (!previous) return std::nullopt;
  auto before = number(member(*previous, "observedAt"));
  auto after = number(member(current, "observedAt"));
  if (!before || !after || !(*after > *before) || !(*after - *before < baselineSeconds)) return std::nullopt;
  auto email = text(member(current, "email"));
  if (!email || email->empty() || email != text(member(*previous, "email"))) return std::nullopt;
  auto plan = text(member(current, "planType"));
  if (!plan || plan != text(member(*previous, "planType"))) return std::nullopt;

  const Json* previousCredits = storedCredits(*previous);
  const Json* currentCredits = storedCredits(current);
  const Json none = Json::array();
  const Json& later = currentCredits ? *currentCredits : none;
  std::set<std::string> previousIDs = creditIDs(previousCredits);
  auto grantedBetween = [&](const Json& entry) {
    auto id = text(member(entry, "id"));
    auto granted = number(member(entry, "grantedAt"));
    return id && !previousIDs.count(*id) && granted && *before < *granted && *granted <= *after;
  };

  bool newGrant = false;
  if (previousCredits)
    for (const auto& entry : later)
      if (grantedBetween(entry) && isText(member(entry, "resetType"), "codexRateLimits")) newGrant = true;

  bool newRedemption = false;
  for (const auto& entry : later) {
    const Json* status = member(entry, "status");
    if (!isText(status, "redeeming") && !isText(status, "redeemed")) continue;
    bool seen = false;
    if (previousCredits)
      for (const auto& earlier : *previousCredits)
        if (same(member(earlier, "id"), member(entry, "id")) && same(member(earlier, "status"), status)) seen = true;
    if (!seen) newRedemption = true;
  }

  auto previousComplete = completeCredits(*previous);
  auto currentComplete = completeCredits(current);
  bool stable = bankedStable(previousComplete, currentComplete);

  Json outcomes = Json::array();
  if (newGrant) {
    bool available = false;
    if (previousComplete && currentComplete)
      for (const auto& entry : later) {
        auto expires = number(member(entry, "expiresAt"));
        if (grantedBetween(entry) && isText(member(entry, "status"), "available") && (!expires || *after < *expires))
          available = true;
      }
    outcomes.push_back({{"kind", "banked_grant"}, {"confidence", "observed"}, {"available", available}});
  }

  Json baseline = windows(*previous);
  Json latest = windows(current);
  for (const auto& [key, window] : latest.items()) {
    const Json* earlier = member(baseline, key);
    auto used = number(member(window, "usedPercent"));
    auto usedBefore = number(child(earlier, "usedPercent"));
    if (!used || !usedBefore || !(*used < *usedBefore)) continue;
    auto resetBefore = number(member(*earlier, "resetsAt"));
    const char* kind = "unknown_recovery";
    if (resetBefore && *resetBefore <= *after)
      kind = "natural_reset";  // the drop came at or after the announced reset
    else if (newRedemption)
      kind = "possible_banked_redemption";
    else if (resetBefore && stable)
      kind = "extra_recovery";
    std::string_view confidence = std::string_view(kind) == "extra_recovery" ? "high" : "observed";
    outcomes.push_back({{"kind", kind}, {"windowKey", key}, {"confidence", confidence}});
  }
  if (newRedemption && outcomes.empty())
    outcomes.push_back({{"kind", "possible_banked_redemption"}, {"confidence", "observed"}});

  return Json{{"version", 1},
              {"id", randomUUID()},
              {"beforeAt", *before},
              {"observedAt", *after},
              {"bankedStable", stable},
              {"outcomes", std::move(outcomes)},
              {"baseline", std::move(baseline)}};
}

Json ResetEvidence::diagnostic(const std::optional<Json>& previous, const Json& current,
                               const std::optional<Json>& report) {
  const char* reason = "baseline_missing";
  std::optional<double> before;
  if (previous) {
    before = number(member(*previous, "observedAt"));
    double after = number(member(current, "observedAt")).value_or(0);
    auto email = text(member(current, "email"));
    const Json* outcomes = child(report ? &*report : nullptr, "outcomes");
    if (email != text(member(*previous, "email")) || !email || email->empty())
      reason = "identity_missing_or_changed";
    else if (text(member(current, "planType")) != text(member(*previous, "planType")))
      reason = "plan_changed";
    else if (!before || !(*before < after))
      reason = "non_increasing_samples";
    else if (after - *before >= baselineSeconds)
      reason = "baseline_expired";
    else if (outcomes && outcomes->is_array() && !outcomes->empty())
      reason = "recovery_observed";
    else
      reason = "unchanged";
  }
  return {
      {"reason", reason},
      {"beforeAt", before ? Json(*before) : Json()},
      {"before", previous ? windows(*previous) : Json::object()},
      {"beforeBankedComplete", previous && completeCredits(*previous)},
      {"afterBankedComplete", completeCredits(current).has_value()},
  };
}

std::optional<Json> ResetEvidence::readObservation(const fs::path& file) {
  struct stat info {};
  if (lstat(file.c_str(), &info) != 0) {
    if (errno == ENOENT) return std::nullopt;
    throw CVError::storage();
  }
  // A link is never followed, and a directory or device there can be
  // neither read nor replaced.
  if (!S_ISREG(info.st_mode)) throw CVError::storage();
  if (static_cast<size_t>(info.st_size) > observationFileLimit) return std::nullopt;
  auto bytes = readPrivateFile(file, observationFileLimit);
  if (!bytes) throw CVError::storage();
  auto value = parseJSON(*bytes);
  if (!value || !value->is_object()) return std::nullopt;
  return value;
}

void ResetEvidence::observe(Json& sample, const Json& raw, const fs::path& file, WallTime now) {
  object(sample);
  auto previous = readObservation(file);
  Json current = ResetEvidence::sample(sample, raw, now);
  auto evidence = compare(previous, current);
  atomicPrivateJSON(current, file);
  sample["_resetDiagnostic"] = diagnostic(previous, current, evidence);
  if (evidence)
    sample["resetEvidence"] = std::move(*evidence);
  else
    sample.erase("resetEvidence");
}

}  // namespace corvane
