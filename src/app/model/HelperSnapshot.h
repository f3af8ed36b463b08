#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"

namespace corvane::app {

using platform::WallTime;

// The earliest representable time: what an unparsable or missing expiry counts as.
inline constexpr WallTime distantPast = WallTime(std::chrono::microseconds(INT64_MIN / 2));

// An internet date-time ("2026-01-02T03:04:05Z", with or without fractional
// seconds, with "Z" or a numeric offset); nothing for anything else.
std::optional<WallTime> parseTimestamp(std::string_view text);

// The executor's last published health record, as the tray app reads it.
struct Health {
  std::string state;
  std::optional<std::string> lastHeartbeatAt;
  std::string updatedAt;
  std::optional<std::string> lastErrorCode;
  std::optional<bool> deviceRevoked;
  std::optional<bool> rePairReady;
  std::optional<std::string> updatePreparationID;
  std::optional<bool> updateReady;

  // Online with a heartbeat from the last 90 seconds (not from the future).
  bool isOnline(WallTime now) const;
};

// One ChatGPT device-code sign-in waiting for the user.
struct Login {
  std::string id;
  std::string verificationUrl;
  std::string userCode;
  std::string expiresAt;

  // The verification page when it is an official sign-in page over https on
  // the default port, without credentials in it.
  std::optional<std::string> officialURL() const;
  // officialURL while the request has not expired.
  std::optional<std::string> safeURL(WallTime now) const;
};

struct CodexError {
  std::string code;
  double recordedAt = 0;
};

struct SupportDiagnostics {
  bool enabled = false;
  std::int64_t pendingCount = 0;
  std::optional<std::string> reportStatus;
  std::optional<std::string> reportId;

  // Strict: a missing required key or a wrong type throws HelperError(invalidResponse).
  static SupportDiagnostics decode(std::string_view bytes);
};

// The output of `app-status`.
struct HelperSnapshot {
  std::optional<CodexError> latestCodexError;
  std::optional<SupportDiagnostics> supportDiagnostics;
  std::optional<std::vector<Login>> logins;
  std::optional<std::string> email;
  std::optional<bool> signOutPending;
  bool paired = false;
  bool codexAvailable = false;
  std::optional<Health> health;

  // Strict: a missing required key or a wrong type throws
  // HelperError(invalidResponse); unknown keys are ignored.
  static HelperSnapshot decode(std::string_view bytes);
};

// Strict readers shared by the model's decoders; each throws
// HelperError(invalidResponse) on a wrong shape.
namespace decoding {
nlohmann::json parseObject(std::string_view bytes);
std::string requiredString(const nlohmann::json& object, const char* key);
// An object whose values are all strings.
std::map<std::string, std::string> stringObject(std::string_view bytes);
}  // namespace decoding

}  // namespace corvane::app
