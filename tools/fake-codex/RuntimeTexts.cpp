#include "RuntimeTexts.h"

#include <unistd.h>

#include <array>
#include <string_view>

#include "LineWriter.h"

namespace corvane::fakecodex {

namespace {

// Every client request method of the real runtime, in the order its error message lists them.
constexpr std::array knownMethods = {"initialize",
                                     "thread/start",
                                     "thread/resume",
                                     "thread/fork",
                                     "thread/archive",
                                     "thread/delete",
                                     "thread/unsubscribe",
                                     "thread/name/set",
                                     "thread/goal/set",
                                     "thread/goal/get",
                                     "thread/goal/clear",
                                     "thread/metadata/update",
                                     "thread/attachment/add",
                                     "thread/attachment/list",
                                     "thread/attachmentOwner/list",
                                     "thread/attachment/remove",
                                     "thread/section/move",
                                     "thread/unarchive",
                                     "thread/compact/start",
                                     "thread/shellCommand",
                                     "thread/approveGuardianDeniedAction",
                                     "thread/revert",
                                     "thread/list",
                                     "threadSection/list",
                                     "threadSection/create",
                                     "threadSection/update",
                                     "threadSection/delete",
                                     "thread/loaded/list",
                                     "thread/read",
                                     "thread/turns/list",
                                     "thread/items/list",
                                     "thread/inject_items",
                                     "skills/list",
                                     "skills/extraRoots/set",
                                     "hooks/list",
                                     "marketplace/add",
                                     "marketplace/remove",
                                     "marketplace/upgrade",
                                     "plugin/list",
                                     "plugin/installed",
                                     "plugin/reconcile",
                                     "plugin/read",
                                     "plugin/skill/read",
                                     "plugin/share/save",
                                     "plugin/share/updateTargets",
                                     "plugin/share/list",
                                     "plugin/share/checkout",
                                     "plugin/share/delete",
                                     "app/read",
                                     "app/list",
                                     "app/installed",
                                     "fs/readFile",
                                     "fs/writeFile",
                                     "fs/createDirectory",
                                     "fs/getMetadata",
                                     "fs/readDirectory",
                                     "fs/remove",
                                     "fs/copy",
                                     "fs/watch",
                                     "fs/unwatch",
                                     "skills/config/write",
                                     "plugin/install",
                                     "plugin/uninstall",
                                     "turn/start",
                                     "turn/steer",
                                     "turn/interrupt",
                                     "review/start",
                                     "model/list",
                                     "account/gatewayOAuth/read",
                                     "account/gatewayOAuth/login",
                                     "account/gatewayOAuth/cancel",
                                     "modelProvider/list",
                                     "modelProvider/config/write",
                                     "modelProvider/capabilities/read",
                                     "experimentalFeature/list",
                                     "permissionProfile/list",
                                     "experimentalFeature/enablement/set",
                                     "mcpServer/oauth/login",
                                     "config/mcpServer/reload",
                                     "mcpServerStatus/list",
                                     "mcpServer/resource/read",
                                     "mcpServer/tool/call",
                                     "windowsSandbox/setupStart",
                                     "windowsSandbox/readiness",
                                     "account/login/start",
                                     "account/login/cancel",
                                     "account/logout",
                                     "account/securitySetup/read",
                                     "account/rateLimits/read",
                                     "account/rateLimitResetCredit/consume",
                                     "account/usage/read",
                                     "account/workspaceMessages/read",
                                     "account/sendAddCreditsNudgeEmail",
                                     "feedback/upload",
                                     "feedback/save",
                                     "command/exec",
                                     "command/exec/write",
                                     "command/exec/terminate",
                                     "command/exec/resize",
                                     "config/read",
                                     "externalAgentConfig/detect",
                                     "externalAgentConfig/import",
                                     "externalAgentConfig/import/recordHistory",
                                     "externalAgentConfig/import/readHistories",
                                     "config/value/write",
                                     "config/batchWrite",
                                     "configRequirements/read",
                                     "account/read",
                                     "fuzzyFileSearch"};

}  // namespace

const char* const keyringCause =
    "Platform secure storage failure: no secret service provider or dbus session found: Platform secure storage "
    "failure: no secret service provider or dbus session found: no secret service provider or dbus session found";

Json initializeResult(const std::string& clientName, const std::string& clientVersion, const std::string& codexHome) {
  std::string agent = clientName + "/" + runtimeVersion + " (Debian 12.0.0; x86_64) unknown (" + clientName + "; " +
                      clientVersion + ")";
  return Json{{"userAgent", agent}, {"codexHome", codexHome}, {"platformFamily", "unix"}, {"platformOs", "linux"}};
}

Json configWarningParams() {
  return Json{{"summary",
               "Codex could not find bubblewrap on PATH. Install bubblewrap with your OS package manager. See the "
               "sandbox prerequisites: https://developers.openai.com/codex/concepts/sandboxing#prerequisites. Codex "
               "will use the bundled bubblewrap in the meantime."},
              {"details", nullptr}};
}

Json remoteControlParams() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = 0;
  return Json{{"status", "disabled"},
              {"serverName", host[0] ? host : "localhost"},
              {"installationId", randomUuid()},
              {"environmentId", nullptr}};
}

bool isKnownMethod(const std::string& method) {
  for (std::string_view known : knownMethods)
    if (known == method) return true;
  return false;
}

std::string unknownMethodMessage(const std::string& method) {
  std::string message = "Invalid request: unknown variant `" + method + "`, expected one of ";
  bool first = true;
  for (std::string_view known : knownMethods) {
    if (!first) message += ", ";
    first = false;
    message += "`" + std::string(known) + "`";
  }
  return message;
}

std::string httpStatusText(int status) {
  const char* reason = "<unknown status code>";
  switch (status) {
    case 400:
      reason = "Bad Request";
      break;
    case 401:
      reason = "Unauthorized";
      break;
    case 402:
      reason = "Payment Required";
      break;
    case 403:
      reason = "Forbidden";
      break;
    case 404:
      reason = "Not Found";
      break;
    case 408:
      reason = "Request Timeout";
      break;
    case 409:
      reason = "Conflict";
      break;
    case 429:
      reason = "Too Many Requests";
      break;
    case 500:
      reason = "Internal Server Error";
      break;
    case 501:
      reason = "Not Implemented";
      break;
    case 502:
      reason = "Bad Gateway";
      break;
    case 503:
      reason = "Service Unavailable";
      break;
    case 504:
      reason = "Gateway Timeout";
      break;
    default:
      break;
  }
  return std::to_string(status) + " " + reason;
}

Json defaultRateLimitsResult(const std::string& planType) {
  Json codex{{"limitId", "codex"},
             {"limitName", nullptr},
             {"normalModelSlug", nullptr},
             {"primary", {{"usedPercent", 42}, {"windowDurationMins", 300}, {"resetsAt", 1796861446}}},
             {"secondary", {{"usedPercent", 7}, {"windowDurationMins", 10080}, {"resetsAt", 1796944246}}},
             {"credits", {{"hasCredits", false}, {"unlimited", false}, {"balance", "0"}}},
             {"individualLimit", nullptr},
             {"spendControlReached", nullptr},
             {"planType", planType},
             {"rateLimitReachedType", nullptr}};
  Json spark{{"limitId", "codex_bengalfox"},
             {"limitName", "GPT-5.3-Codex-Spark"},
             {"normalModelSlug", nullptr},
             {"primary", {{"usedPercent", 3}, {"windowDurationMins", 300}, {"resetsAt", 1796857946}}},
             {"secondary", nullptr},
             {"credits", nullptr},
             {"individualLimit", nullptr},
             {"spendControlReached", nullptr},
             {"planType", planType},
             {"rateLimitReachedType", nullptr}};
  Json credits = Json::array({Json{{"id", "cred-1"},
                                   {"resetType", "codexRateLimits"},
                                   {"status", "available"},
                                   {"grantedAt", 1796083200},
                                   {"expiresAt", 1798675200},
                                   {"title", "T"},
                                   {"description", "D"}},
                              Json{{"id", "cred-2"},
                                   {"resetType", "codexRateLimits"},
                                   {"status", "available"},
                                   {"grantedAt", 1796169600},
                                   {"expiresAt", nullptr},
                                   {"title", nullptr},
                                   {"description", nullptr}}});
  return Json{{"ordinaryUsageAllowed", nullptr},
              {"rateLimits", codex},
              {"rateLimitsByLimitId", {{"codex_bengalfox", spark}, {"codex", codex}}},
              {"rateLimitResetCredits", {{"availableCount", 2}, {"credits", credits}}},
              {"accountId", nullptr},
              {"rateLimitUpsell", nullptr}};
}

}  // namespace corvane::fakecodex
