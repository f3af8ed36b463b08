#include "app/model/HelperSnapshot.h"

#include <QUrl>

#include <charconv>
#include <chrono>

#include "app/model/HelperError.h"

namespace corvane::app {

using nlohmann::json;

namespace {

[[noreturn]] void invalid() { throw HelperError(HelperError::Kind::invalidResponse); }

bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

template <typename T>
std::optional<T> optionalMember(const json& object, const char* key);

template <>
std::optional<bool> optionalMember<bool>(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (!it->is_boolean()) invalid();
  return it->get<bool>();
}

template <>
std::optional<std::string> optionalMember<std::string>(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) invalid();
  return it->get<std::string>();
}

bool requiredBool(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_boolean()) invalid();
  return it->get<bool>();
}

const json* optionalObject(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  if (!it->is_object()) invalid();
  return &*it;
}

SupportDiagnostics readSupportDiagnostics(const json& object) {
  if (!object.is_object()) invalid();
  SupportDiagnostics diagnostics;
  diagnostics.enabled = requiredBool(object, "enabled");
  auto count = object.find("pendingCount");
  if (count == object.end() || !count->is_number_integer()) invalid();
  diagnostics.pendingCount = count->get<std::int64_t>();
  diagnostics.reportStatus = optionalMember<std::string>(object, "reportStatus");
  diagnostics.reportId = optionalMember<std::string>(object, "reportId");
  return diagnostics;
}

}  // namespace

namespace decoding {

json parseObject(std::string_view bytes) {
  json value = json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (value.is_discarded() || !value.is_object()) invalid();
  return value;
}

std::string requiredString(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) invalid();
  return it->get<std::string>();
}

std::map<std::string, std::string> stringObject(std::string_view bytes) {
  std::map<std::string, std::string> values;
  const json object = parseObject(bytes);
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (!it->is_string()) invalid();
    values[it.key()] = it->get<std::string>();
  }
  return values;
}

}  // namespace decoding

std::optional<WallTime> parseTimestamp(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)
  int year, month, day, hour, minute, second;
  if (text.size() < 20 || !digits(text, 0, 4, year) || text[4] != '-' || !digits(text, 5, 2, month) || text[7] != '-' ||
      !digits(text, 8, 2, day) || (text[10] != 'T' && text[10] != 't') || !digits(text, 11, 2, hour) ||
      text[13] != ':' || !digits(text, 14, 2, minute) || text[16] != ':' || !digits(text, 17, 2, second))
    return std::nullopt;
  std::size_t at = 19;
  std::int64_t micros = 0;
  if (text[at] == '.') {
    std::size_t start = ++at;
    int scale = 100000;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      micros += (text[at] - '0') * scale;
      scale /= 10;
      ++at;
    }
    if (at == start) return std::nullopt;
  }
  int offsetMinutes = 0;
  if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
    ++at;
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    int offsetHours, offsetMins;
    if (!digits(text, at + 1, 2, offsetHours) || at + 3 >= text.size() || text[at + 3] != ':' ||
        !digits(text, at + 4, 2, offsetMins) || offsetHours > 23 || offsetMins > 59)
      return std::nullopt;
    offsetMinutes = (offsetHours * 60 + offsetMins) * (text[at] == '-' ? -1 : 1);
    at += 6;
  } else {
    return std::nullopt;
  }
  if (at != text.size()) return std::nullopt;
  using namespace std::chrono;
  year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                      std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok() || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  auto time =
      sys_days(date) + hours(hour) + minutes(minute) + seconds(second) + microseconds(micros) - minutes(offsetMinutes);
  return time_point_cast<microseconds>(time);
}

bool Health::isOnline(WallTime now) const {
  if (state != "online" || !lastHeartbeatAt) return false;
  auto heartbeat = parseTimestamp(*lastHeartbeatAt);
  if (!heartbeat) return false;
  auto age = now - *heartbeat;
  return age >= std::chrono::seconds(0) && age <= std::chrono::seconds(90);
}

std::optional<std::string> Login::officialURL() const {
  QUrl url(QString::fromStdString(verificationUrl), QUrl::StrictMode);
  if (!url.isValid() || url.scheme() != "https") return std::nullopt;
  if (!url.userName().isEmpty() || !url.password().isEmpty() || url.authority().contains('@')) return std::nullopt;
  QString host = url.host();
  if (host != "auth.openai.com" && host != "chatgpt.com") return std::nullopt;
  if (url.port() != -1 && url.port() != 443) return std::nullopt;
  return verificationUrl;
}

std::optional<std::string> Login::safeURL(WallTime now) const {
  auto expiry = parseTimestamp(expiresAt);
  if (!expiry || *expiry <= now) return std::nullopt;
  return officialURL();
}

SupportDiagnostics SupportDiagnostics::decode(std::string_view bytes) {
  return readSupportDiagnostics(decoding::parseObject(bytes));
}

HelperSnapshot HelperSnapshot::decode(std::string_view bytes) {
  json object = decoding::parseObject(bytes);
  HelperSnapshot snapshot;
  if (const json* error = optionalObject(object, "latestCodexError")) {
    auto recordedAt = error->find("recordedAt");
    if (recordedAt == error->end() || !recordedAt->is_number()) invalid();
    snapshot.latestCodexError = CodexError{decoding::requiredString(*error, "code"), recordedAt->get<double>()};
  }
  if (const json* diagnostics = optionalObject(object, "supportDiagnostics"))
    snapshot.supportDiagnostics = readSupportDiagnostics(*diagnostics);
  auto logins = object.find("logins");
  if (logins != object.end() && !logins->is_null()) {
    if (!logins->is_array()) invalid();
    std::vector<Login> list;
    for (const json& login : *logins) {
      if (!login.is_object()) invalid();
      list.push_back({decoding::requiredString(login, "id"), decoding::requiredString(login, "verificationUrl"),
                      decoding::requiredString(login, "userCode"), decoding::requiredString(login, "expiresAt")});
    }
    snapshot.logins = std::move(list);
  }
  snapshot.email = optionalMember<std::string>(object, "email");
  snapshot.signOutPending = optionalMember<bool>(object, "signOutPending");
  snapshot.paired = requiredBool(object, "paired");
  snapshot.codexAvailable = requiredBool(object, "codexAvailable");
  if (const json* health = optionalObject(object, "health")) {
    Health record;
    record.state = decoding::requiredString(*health, "state");
    record.lastHeartbeatAt = optionalMember<std::string>(*health, "lastHeartbeatAt");
    record.updatedAt = decoding::requiredString(*health, "updatedAt");
    record.lastErrorCode = optionalMember<std::string>(*health, "lastErrorCode");
    record.deviceRevoked = optionalMember<bool>(*health, "deviceRevoked");
    record.rePairReady = optionalMember<bool>(*health, "rePairReady");
    record.updatePreparationID = optionalMember<std::string>(*health, "updatePreparationID");
    record.updateReady = optionalMember<bool>(*health, "updateReady");
    snapshot.health = std::move(record);
  }
  return snapshot;
}

}  // namespace corvane::app
