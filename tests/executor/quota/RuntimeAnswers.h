#pragma once

namespace corvane::test {

// "account/rateLimits/read" results exactly as the Codex runtime (0.169.0)
// gives them for a signed-in Plus account, every extra member included: the
// codex bucket twice (as "rateLimits" and in the limit map), another limit
// beside it, the reset credits with their titles, and the members the
// executor never reads.
inline constexpr const char* rateLimitsWithCredits =
    R"({"ordinaryUsageAllowed":null,"rateLimits":{"limitId":"codex","limitName":null,"normalModelSlug":null,)"
    R"("primary":{"usedPercent":42,"windowDurationMins":300,"resetsAt":1796861446},)"
    R"("secondary":{"usedPercent":7,"windowDurationMins":10080,"resetsAt":1796944246},)"
    R"("credits":{"hasCredits":false,"unlimited":false,"balance":"0"},"individualLimit":null,)"
    R"("spendControlReached":null,"planType":"plus","rateLimitReachedType":null},)"
    R"("rateLimitsByLimitId":{"codex_bengalfox":{"limitId":"codex_bengalfox","limitName":"GPT-5.3-Codex-Spark",)"
    R"("normalModelSlug":null,"primary":{"usedPercent":3,"windowDurationMins":300,"resetsAt":1796857946},)"
    R"("secondary":null,"credits":null,"individualLimit":null,"spendControlReached":null,"planType":"plus",)"
    R"("rateLimitReachedType":null},"codex":{"limitId":"codex","limitName":null,"normalModelSlug":null,)"
    R"("primary":{"usedPercent":42,"windowDurationMins":300,"resetsAt":1796861446},)"
    R"("secondary":{"usedPercent":7,"windowDurationMins":10080,"resetsAt":1796944246},)"
    R"("credits":{"hasCredits":false,"unlimited":false,"balance":"0"},"individualLimit":null,)"
    R"("spendControlReached":null,"planType":"plus","rateLimitReachedType":null}},)"
    R"("rateLimitResetCredits":{"availableCount":2,"credits":[{"id":"cred-1","resetType":"codexRateLimits",)"
    R"("status":"available","grantedAt":1796083200,"expiresAt":1798675200,"title":"T","description":"D"},)"
    R"({"id":"cred-2","resetType":"codexRateLimits","status":"available","grantedAt":1796169600,)"
    R"("expiresAt":null,"title":null,"description":null}]},"accountId":null,"rateLimitUpsell":null})";

// The same account asked to leave out the credit details.
inline constexpr const char* rateLimitsWithoutCreditDetails =
    R"({"ordinaryUsageAllowed":null,"rateLimits":{"limitId":"codex","limitName":null,"normalModelSlug":null,)"
    R"("primary":{"usedPercent":42,"windowDurationMins":300,"resetsAt":1796861446},)"
    R"("secondary":{"usedPercent":7,"windowDurationMins":10080,"resetsAt":1796944246},)"
    R"("credits":{"hasCredits":false,"unlimited":false,"balance":"0"},"individualLimit":null,)"
    R"("spendControlReached":null,"planType":"plus","rateLimitReachedType":null},)"
    R"("rateLimitsByLimitId":{"codex_bengalfox":{"limitId":"codex_bengalfox","limitName":"GPT-5.3-Codex-Spark",)"
    R"("normalModelSlug":null,"primary":{"usedPercent":3,"windowDurationMins":300,"resetsAt":1796857946},)"
    R"("secondary":null,"credits":null,"individualLimit":null,"spendControlReached":null,"planType":"plus",)"
    R"("rateLimitReachedType":null},"codex":{"limitId":"codex","limitName":null,"normalModelSlug":null,)"
    R"("primary":{"usedPercent":42,"windowDurationMins":300,"resetsAt":1796861446},)"
    R"("secondary":{"usedPercent":7,"windowDurationMins":10080,"resetsAt":1796944246},)"
    R"("credits":{"hasCredits":false,"unlimited":false,"balance":"0"},"individualLimit":null,)"
    R"("spendControlReached":null,"planType":"plus","rateLimitReachedType":null}},)"
    R"("rateLimitResetCredits":{"availableCount":2,"credits":null},"accountId":null,"rateLimitUpsell":null})";

}  // namespace corvane::test
