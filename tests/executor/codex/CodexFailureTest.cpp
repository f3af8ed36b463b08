#include "executor/codex/CodexFailure.h"

#include <pthread.h>

#include <cstdlib>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "executor/support/CVError.h"

namespace corvane {
namespace {

TEST(CodexFailure, StageOfEachMethod) {
  const std::pair<const char*, const char*> cases[] = {
      {"initialize", "initialize"},
      {"account/login/start", "login_start"},
      {"account/login/completed", "login_wait"},
      {"account/read", "account_read"},
      {"account/rateLimits/read", "quota_read"},
      {"account/logout", "logout"},
      {"account/login/cancel", "other"},
      {"Account/Read", "other"},
      {"", "other"},
  };
  for (const auto& [method, stage] : cases) EXPECT_EQ(rawValue(CodexFailure::stage(method)), stage) << method;
}

struct ProviderCase {
  const char* name;
  const char* error;  // JSON text; nullptr for an absent value
  const char* method;
  const char* code;
  std::optional<int> rpcCode;
  std::optional<int> httpStatus;
};

TEST(CodexFailure, ClassifiesRuntimeErrorValues) {
  const ProviderCase cases[] = {
      {"protocol code, any message", R"({"code":-32601,"message":"rate limited: 429 timeout"})", "account/read",
       "codex_account_read_protocol", -32601, std::nullopt},
      {"not initialized", R"({"code":-32600,"message":"Not initialized"})", "initialize", "codex_initialize_protocol",
       -32600, std::nullopt},
      {"parse error code", R"({"code":-32700,"message":"x"})", "account/read", "codex_account_read_protocol", -32700,
       std::nullopt},
      {"internal error is not protocol", R"({"code":-32603,"message":"something broke"})", "account/read",
       "codex_account_read_failed", -32603, std::nullopt},
      {"bare 429", R"({"code":-32603,"message":"upstream said 429"})", "account/rateLimits/read",
       "codex_quota_read_failed", -32603, std::nullopt},
      {"http status colon 429", R"({"message":"request failed: HTTP Status: 429"})", "account/rateLimits/read",
       "codex_quota_read_rate_limited", std::nullopt, 429},
      {"status 429", R"({"message":"Status 429 from backend"})", "account/rateLimits/read",
       "codex_quota_read_rate_limited", std::nullopt, 429},
      {"status code = 401", R"({"message":"status code=401"})", "account/read", "codex_account_read_authentication",
       std::nullopt, 401},
      {"http 403", R"({"message":"HTTP 403 forbidden"})", "account/read", "codex_account_read_access_denied",
       std::nullopt, 403},
      {"status inside a longer number", R"({"message":"status 4290"})", "account/read", "codex_account_read_failed",
       std::nullopt, std::nullopt},
      {"real runtime's rate-limit text",
       R"({"code":-32603,"message":"failed to fetch codex rate limits: GET https://chatgpt.com/backend-api/wham/usage failed: 429 Too Many Requests; content-type=text/plain; body=x"})",
       "account/rateLimits/read", "codex_quota_read_failed", -32603, std::nullopt},
      {"data statusCode 503", R"({"message":"x","data":{"statusCode":503}})", "account/read",
       "codex_account_read_service_unavailable", std::nullopt, 503},
      {"data httpStatus 404 wins over statusCode",
       R"({"message":"nothing telling","data":{"httpStatus":404,"statusCode":429}})", "account/read",
       "codex_account_read_failed", std::nullopt, 404},
      {"invalid data httpStatus falls back to the text only",
       R"({"message":"http status 502","data":{"httpStatus":"429","statusCode":429}})", "account/read",
       "codex_account_read_service_unavailable", std::nullopt, 502},
      {"data status out of range", R"({"message":"x","data":{"httpStatus":200}})", "account/read",
       "codex_account_read_failed", std::nullopt, std::nullopt},
      {"fractional data status", R"({"message":"x","data":{"httpStatus":429.5}})", "account/read",
       "codex_account_read_failed", std::nullopt, std::nullopt},
      {"integral float data status", R"({"message":"x","data":{"httpStatus":429.0}})", "account/read",
       "codex_account_read_rate_limited", std::nullopt, 429},
      {"device code disabled", R"({"code":-32600,"message":"Device code login is disabled for this workspace"})",
       "account/login/start", "codex_login_start_device_auth_disabled", -32600, std::nullopt},
      {"device-code not enabled", R"({"message":"device-code auth not enabled"})", "account/login/start",
       "codex_login_start_device_auth_disabled", std::nullopt, std::nullopt},
      {"real runtime's not-enabled text, protocol code",
       R"({"code":-32600,"message":"device code login is not enabled for this Codex server. Use the browser login or verify the server URL."})",
       "account/login/start", "codex_login_start_protocol", -32600, std::nullopt},
      {"not enabled for this codex server, no code",
       R"({"message":"device code login is not enabled for this Codex server."})", "account/login/start",
       "codex_login_start_failed", std::nullopt, std::nullopt},
      {"keyring beats protocol code",
       R"({"code":-32600,"message":"failed to write OAuth tokens to keyring: Platform secure storage failure"})",
       "account/logout", "codex_logout_keychain", -32600, std::nullopt},
      {"plain string mentioning the keychain", R"("Could not reach the KeyChain")", "account/login/completed",
       "codex_login_wait_keychain", std::nullopt, std::nullopt},
      {"boolean code ignored", R"({"code":true,"message":"x"})", "account/read", "codex_account_read_failed",
       std::nullopt, std::nullopt},
      {"fractional code ignored", R"({"code":-32600.5,"message":"x"})", "account/read", "codex_account_read_failed",
       std::nullopt, std::nullopt},
      {"code out of range ignored", R"({"code":40000,"message":"x"})", "account/read", "codex_account_read_failed",
       std::nullopt, std::nullopt},
      {"tls", R"({"message":"invalid peer certificate: UnknownIssuer"})", "account/read", "codex_account_read_tls",
       std::nullopt, std::nullopt},
      {"tls beats timeout", R"({"message":"TLS handshake timed out"})", "account/read", "codex_account_read_tls",
       std::nullopt, std::nullopt},
      {"timeout", R"("device auth timed out after 15 minutes")", "account/login/completed", "codex_login_wait_timeout",
       std::nullopt, std::nullopt},
      {"status beats timeout", R"({"message":"status 500 after timeout"})", "account/read",
       "codex_account_read_service_unavailable", std::nullopt, 500},
      {"other status goes on", R"({"message":"HTTP 404 then connection refused"})", "account/read",
       "codex_account_read_network", std::nullopt, 404},
      {"offline",
       R"j({"code":-32603,"message":"failed to fetch codex rate limits: error sending request for url (https://chatgpt.com/backend-api/wham/usage)"})j",
       "account/rateLimits/read", "codex_quota_read_network", -32603, std::nullopt},
      {"dns", R"({"message":"dns error: failed to lookup address information"})", "other/method", "codex_other_network",
       std::nullopt, std::nullopt},
      {"message not a string", R"({"message":42})", "account/read", "codex_account_read_failed", std::nullopt,
       std::nullopt},
      {"null", "null", "account/read", "codex_account_read_failed", std::nullopt, std::nullopt},
      {"absent", nullptr, "account/login/completed", "codex_login_wait_failed", std::nullopt, std::nullopt},
      {"array", R"(["keyring"])", "account/read", "codex_account_read_failed", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<Json> error;
    if (c.error) error = Json::parse(c.error);
    auto failure = CodexFailure::provider(error ? &*error : nullptr, c.method);
    EXPECT_EQ(failure.code.rawValue(), c.code);
    EXPECT_EQ(failure.rpcCode, c.rpcCode);
    EXPECT_EQ(failure.httpStatus, c.httpStatus);
    EXPECT_EQ(failure.durationMs, std::nullopt);
  }
}

TEST(CodexFailure, LooksOnlyAtTheFirst8192CharactersOfTheMessage) {
  // Multi-byte characters count once each.
  std::string padding;
  for (int i = 0; i < 8180; ++i) padding += "é";
  Json inside = {{"message", padding + "timeout"}};  // ends at character 8187
  Json outside = {{"message", padding + "........timeout"}};
  EXPECT_EQ(CodexFailure::provider(&inside, "account/read").code.category, CodexFailureCategory::timeout);
  EXPECT_EQ(CodexFailure::provider(&outside, "account/read").code.category, CodexFailureCategory::failed);
}

// The rule for a status named in the text, as a regular expression; run by
// std::regex it is the reference the classifier must agree with. Short texts
// only: std::regex recurses once per character it matches.
std::optional<int> statusByExpression(std::string text) {
  static const std::regex pattern(R"(\b(?:http(?: status)?|status(?: code)?)\s*[:=]?\s*([45][0-9]{2})\b)");
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  std::smatch match;
  if (!std::regex_search(text, match, pattern)) return std::nullopt;
  return std::stoi(match[1].str());
}

TEST(CodexFailure, FindsAStatusInTheTextWhereTheExpressionDoes) {
  const std::pair<std::string, std::optional<int>> cases[] = {
      {"HTTP 503", 503},
      {"http status 429", 429},
      {"HTTP Status: 429", 429},
      {"http status:429", 429},
      {"status code=401", 401},
      {"status code = 401", 401},
      {"status=404", 404},
      {"status : 500", 500},
      {"http:\t\n 500", 500},
      {"http\v503 \f", 503},
      {"http\r=\r503", 503},
      {"http  status 429", 429},           // two spaces: "status" alone names it
      {"http status code 503", 503},       // "status code" after "http "
      {"status  code 503", std::nullopt},  // "status" is followed by "code", not digits
      {"http status status 503", 503},
      {"xhttp 503", std::nullopt},
      {"_status 503", std::nullopt},
      {"9http 503", std::nullopt},
      {"(http 503)", 503},
      {"\xc3\xa9http 503", 503},  // a non-ASCII letter is no word character
      {"http\xc2\xa0"
       "503",
       std::nullopt},  // nor is a no-break space white space
      {"http 5030", std::nullopt},
      {"http 503x", std::nullopt},
      {"http 503_", std::nullopt},
      {"http 503.", 503},
      {"http 503\xc3\xa9", 503},
      {"status 399", std::nullopt},
      {"status 600", std::nullopt},
      {"status 4o4", std::nullopt},
      {"status 50", std::nullopt},
      {"status", std::nullopt},
      {"http ::503", std::nullopt},
      {"http = = 503", std::nullopt},
      {"http=: 503", std::nullopt},
      {"http 404 then status 500", 404},
      {"http ok, status 502", 502},
      {"statuses 503", std::nullopt},
      {"https 503", std::nullopt},
      {"upstream said 429", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, status] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(statusByExpression(text), status) << "the table itself is wrong";
    Json error = {{"message", text}};
    EXPECT_EQ(CodexFailure::provider(&error, "account/read").httpStatus, status);
  }
}

// Runs body on a new thread with a stack of the given size and waits for it.
template <typename Body>
void runWithStack(size_t bytes, Body body) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, bytes);
  pthread_t thread;
  auto start = [](void* argument) -> void* {
    (*static_cast<Body*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, start, &body), 0);
  pthread_attr_destroy(&attributes);
  pthread_join(thread, nullptr);
}

TEST(CodexFailure, ALongRunOfWhiteSpaceIsClassifiedOnASmallStack) {
  // 2 MiB is what a thread gets when the stack limit is unlimited. The text
  // lies within the 8,192 characters looked at; a classifier that recursed
  // per character would crash the child here.
  Json error = {{"code", -32603}, {"message", "HTTP" + std::string(8000, ' ') + "503"}};
  EXPECT_EXIT(
      {
        std::optional<int> status;
        runWithStack(2 << 20, [&] { status = CodexFailure::provider(&error, "account/read").httpStatus; });
        std::_Exit(status == 503 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(CodexFailure::provider(&error, "account/read").code.rawValue(), "codex_account_read_service_unavailable");
}

TEST(CodexFailure, ClassifiesExecutorSideErrors) {
  struct Case {
    std::exception_ptr error;
    const char* method;
    const char* code;
  };
  auto raised = [](auto error) { return std::make_exception_ptr(error); };
  const Case cases[] = {
      {raised(CVError::timeout()), "account/login/completed", "codex_login_wait_timeout"},
      {raised(CVError::timeout()), "account/read", "codex_account_read_timeout"},
      {raised(CVError::runtime("runtime_closed")), "initialize", "codex_initialize_runtime_closed"},
      {raised(CVError::runtime("runtime_unavailable")), "initialize", "codex_initialize_runtime_closed"},
      {raised(CVError::runtime("protocol_error")), "account/rateLimits/read", "codex_quota_read_protocol"},
      {raised(CVError::invalid("Invalid JSON")), "account/logout", "codex_logout_protocol"},
      {raised(CVError::runtime("something_else")), "account/read", "codex_account_read_failed"},
      {raised(CVError::network(502)), "account/read", "codex_account_read_failed"},
      {raised(CVError::storage()), "account/read", "codex_account_read_failed"},
      {raised(std::runtime_error("boom")), "account/login/start", "codex_login_start_failed"},
  };
  for (const auto& c : cases) {
    try {
      std::rethrow_exception(c.error);
    } catch (const std::exception& error) {
      auto failure = CodexFailure::transport(error, c.method);
      EXPECT_EQ(failure.code.rawValue(), c.code) << error.what();
      EXPECT_FALSE(failure.rpcCode || failure.httpStatus || failure.durationMs);
    }
  }
}

}  // namespace
}  // namespace corvane
