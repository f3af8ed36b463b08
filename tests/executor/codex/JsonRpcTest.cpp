#include "executor/codex/JsonRpc.h"

#include <gtest/gtest.h>

#include "executor/support/CVError.h"

namespace corvane {
namespace {

TEST(JsonRpc, EncodesMessagesAsSortedCompactLines) {
  EXPECT_EQ(encodeJsonRpcLine(jsonRpcRequest(1, "account/read", Json{{"refreshToken", false}})),
            R"({"id":1,"method":"account/read","params":{"refreshToken":false}})");
  EXPECT_EQ(encodeJsonRpcLine(jsonRpcRequest(2, "account/rateLimits/read", std::nullopt)),
            R"({"id":2,"method":"account/rateLimits/read"})");
  EXPECT_EQ(encodeJsonRpcLine(jsonRpcNotification("initialized", Json::object())),
            R"({"method":"initialized","params":{}})");
  EXPECT_EQ(encodeJsonRpcLine(jsonRpcUnsupported("req-7")),
            R"({"error":{"code":-32601,"message":"Client action is not supported."},"id":"req-7"})");
  // A newline inside a string stays escaped, so a message is always one line.
  EXPECT_EQ(encodeJsonRpcLine(Json{{"text", "a\nb"}}), R"({"text":"a\nb"})");
}

TEST(JsonRpc, RefusesToEncodeWhatIsNotAWritableObject) {
  for (const Json& message : {Json::array(), Json("text"), Json{{"bad", "\xff"}}}) {
    try {
      encodeJsonRpcLine(message);
      ADD_FAILURE() << "encoded " << message.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const CVError& error) {
      EXPECT_EQ(error.kind(), CVError::Kind::invalid);
      EXPECT_STREQ(error.what(), "Invalid JSON");
    }
  }
}

TEST(JsonRpc, DecodesOnlyObjects) {
  EXPECT_EQ(decodeJsonRpcLine(R"({"id":1,"result":{}})"), (Json{{"id", 1}, {"result", Json::object()}}));
  for (const char* line : {"", "garbage", "[1]", "42", "null", "{\"id\":1", "{\"text\":\"\xff\"}"}) {
    try {
      decodeJsonRpcLine(line);
      ADD_FAILURE() << "decoded " << line;
    } catch (const CVError& error) {
      EXPECT_EQ(error.message(), "protocol_error") << line;
    }
  }
}

TEST(JsonRpc, SortsOutIncomingMessages) {
  struct Case {
    const char* message;
    bool responseTo3;
    bool serverRequest;
    bool loginCompletion;
  };
  const Case cases[] = {
      {R"({"id":3,"result":{}})", true, false, false},
      {R"({"id":3,"error":{"code":-32600}})", true, false, false},
      {R"({"id":3,"method":"item/tool/call","params":{}})", false, true, false},
      {R"({"id":2,"result":{}})", false, false, false},
      {R"({"id":"3","result":{}})", false, false, false},
      {R"({"id":3.0,"result":{}})", false, false, false},
      {R"({"id":-3,"result":{}})", false, false, false},
      {R"({"id":null,"method":"x"})", false, true, false},
      {R"({"result":{}})", false, false, false},
      {R"({"method":"account/login/completed","params":{"loginId":"a","success":true}})", false, false, true},
      {R"({"method":"account/login/completed","params":{"loginId":7}})", false, false, false},
      {R"({"method":"account/login/completed","params":"loginId"})", false, false, false},
      {R"({"method":"account/updated","params":{"loginId":"a"}})", false, false, false},
  };
  for (const auto& c : cases) {
    Json message = Json::parse(c.message);
    EXPECT_EQ(isJsonRpcResponse(message, 3), c.responseTo3) << c.message;
    EXPECT_EQ(isJsonRpcServerRequest(message), c.serverRequest) << c.message;
    EXPECT_EQ(loginCompletionParams(message) != nullptr, c.loginCompletion) << c.message;
  }
}

}  // namespace
}  // namespace corvane
