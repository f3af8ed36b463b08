#include "executor/codex/CodexFailure.h"

#include <cmath>
#include <cstdint>
#include <regex>
#include <string>

#include "executor/support/CVError.h"

namespace corvane {

namespace {

// A JSON number (not a boolean) that is finite, integral and within range.
std::optional<int> integer(const Json* value, int minimum, int maximum) {
  if (!value || !value->is_number()) return std::nullopt;
  int64_t whole = 0;
  if (value->is_number_unsigned()) {
    auto unsignedValue = value->get<uint64_t>();
    if (unsignedValue > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    whole = static_cast<int64_t>(unsignedValue);
  } else if (value->is_number_integer()) {
    whole = value->get<int64_t>();
  } else {
    double number = value->get<double>();
    if (!std::isfinite(number) || std::trunc(number) != number || number < minimum || number > maximum)
      return std::nullopt;
    whole = static_cast<int64_t>(number);
  }
  if (whole < minimum || whole > maximum) return std::nullopt;
  return static_cast<int>(whole);
}

// The first count code points of UTF-8 text, never splitting one.
std::string prefixCodePoints(const std::string& text, size_t count) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (seen++ == count) return text.substr(0, i);
  }
  return text;
}

// The rules look for ASCII words only, so ASCII lower-casing suffices.
std::string lowercased(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool contains(const std::string& text, std::string_view word) { return text.find(word) != std::string::npos; }

template <typename... Words>
bool containsAny(const std::string& text, Words... words) {
  return (contains(text, words) || ...);
}

std::optional<int> statusInText(const std::string& text) {
  static const std::regex pattern(R"(\b(?:http(?: status)?|status(?: code)?)\s*[:=]?\s*([45][0-9]{2})\b)");
  std::smatch match;
  if (!std::regex_search(text, match, pattern)) return std::nullopt;
  return std::stoi(match[1].str());
}

CodexFailureCategory category(const std::string& text, std::optional<int> rpcCode, std::optional<int> httpStatus) {
  if (contains(text, "device") && containsAny(text, "device code", "device-code", "device_code") &&
      containsAny(text, "disabled", "not enabled") && !contains(text, "for this codex server"))
    return CodexFailureCategory::deviceAuthDisabled;
  if (containsAny(text, "keyring", "keychain")) return CodexFailureCategory::keychain;
  if (rpcCode && (*rpcCode == -32700 || *rpcCode == -32600 || *rpcCode == -32601 || *rpcCode == -32602))
    return CodexFailureCategory::protocol;
  if (httpStatus) {
    if (*httpStatus == 429) return CodexFailureCategory::rateLimited;
    if (*httpStatus == 403) return CodexFailureCategory::accessDenied;
    if (*httpStatus == 401) return CodexFailureCategory::authentication;
    if (*httpStatus >= 500) return CodexFailureCategory::serviceUnavailable;
  }
  if (containsAny(text, "certificate", "tls handshake")) return CodexFailureCategory::tls;
  if (containsAny(text, "timed out", "timeout")) return CodexFailureCategory::timeout;
  if (containsAny(text, "error sending request", "dns error", "failed to lookup address", "connection refused",
                  "connection reset", "network is unreachable", "proxy connection"))
    return CodexFailureCategory::network;
  return CodexFailureCategory::failed;
}

}  // namespace

CodexFailureStage CodexFailure::stage(std::string_view method) {
  if (method == "initialize") return CodexFailureStage::initialize;
  if (method == "account/login/start") return CodexFailureStage::loginStart;
  if (method == "account/login/completed") return CodexFailureStage::loginWait;
  if (method == "account/read") return CodexFailureStage::accountRead;
  if (method == "account/rateLimits/read") return CodexFailureStage::quotaRead;
  if (method == "account/logout") return CodexFailureStage::logout;
  return CodexFailureStage::other;
}

CodexFailure CodexFailure::provider(const Json* error, std::string_view method) {
  static const Json empty = Json::object();
  const Json& info = error && error->is_object() ? *error : empty;
  std::string text;
  if (const Json* message = member(info, "message"); message && message->is_string())
    text = message->get<std::string>();
  else if (error && error->is_string())
    text = error->get<std::string>();
  text = lowercased(prefixCodePoints(text, 8192));

  auto rpcCode = integer(member(info, "code"), -32768, 32767);
  const Json* dataMember = member(info, "data");
  const Json& data = dataMember && dataMember->is_object() ? *dataMember : empty;
  std::optional<int> httpStatus;
  if (const Json* status = member(data, "httpStatus"))
    httpStatus = integer(status, 400, 599);
  else
    httpStatus = integer(member(data, "statusCode"), 400, 599);
  if (!httpStatus) httpStatus = statusInText(text);

  return {{stage(method), category(text, rpcCode, httpStatus)}, rpcCode, httpStatus, std::nullopt};
}

CodexFailure CodexFailure::transport(const std::exception& error, std::string_view method) {
  auto kind = CodexFailureCategory::failed;
  if (const auto* known = dynamic_cast<const CVError*>(&error)) {
    switch (known->kind()) {
      case CVError::Kind::timeout:
        kind = CodexFailureCategory::timeout;
        break;
      case CVError::Kind::invalid:
        kind = CodexFailureCategory::protocol;
        break;
      case CVError::Kind::runtime:
        if (known->message() == "runtime_closed" || known->message() == "runtime_unavailable")
          kind = CodexFailureCategory::runtimeClosed;
        else if (known->message() == "protocol_error")
          kind = CodexFailureCategory::protocol;
        break;
      case CVError::Kind::network:
      case CVError::Kind::storage:
        break;
    }
  }
  return {{stage(method), kind}, std::nullopt, std::nullopt, std::nullopt};
}

}  // namespace corvane
