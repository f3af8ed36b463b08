#include "executor/codex/CodexFailure.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

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

// Word characters and white space as "\b" and "\s" of a regular expression
// see them in the C locale.
bool isWordCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

size_t skipSpaces(std::string_view text, size_t at) {
  while (at < text.size() && isSpace(text[at])) ++at;
  return at;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The status right after a word that names one: optional white space, an
// optional ":" or "=", optional white space, then three digits starting with
// 4 or 5 that end a word. Only one place can hold the digits, so nothing is
// ever retried.
std::optional<int> statusAfter(std::string_view text, size_t at) {
  at = skipSpaces(text, at);
  if (at < text.size() && (text[at] == ':' || text[at] == '=')) at = skipSpaces(text, at + 1);
  if (text.size() - at < 3) return std::nullopt;
  if ((text[at] != '4' && text[at] != '5') || !isDigit(text[at + 1]) || !isDigit(text[at + 2])) return std::nullopt;
  if (at + 3 < text.size() && isWordCharacter(text[at + 3])) return std::nullopt;
  return (text[at] - '0') * 100 + (text[at + 1] - '0') * 10 + (text[at + 2] - '0');
}

// The first status named in lower-cased text: "http", "http status",
// "status" or "status code" starting a word, then what statusAfter accepts.
// The same matches as the expression
//   \b(?:http(?: status)?|status(?: code)?)\s*[:=]?\s*([45][0-9]{2})\b
// found by one linear pass: a backtracking regular expression recurses once
// per character it matches, and a long run of white space would overflow a
// thread's stack.
std::optional<int> statusInText(std::string_view text) {
  static constexpr std::string_view names[] = {"http status", "http", "status code", "status"};
  for (size_t start = 0; start < text.size(); ++start) {
    if (start > 0 && isWordCharacter(text[start - 1])) continue;
    for (std::string_view name : names)
      if (text.substr(start, name.size()) == name)
        if (auto status = statusAfter(text, start + name.size())) return status;
  }
  return std::nullopt;
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
