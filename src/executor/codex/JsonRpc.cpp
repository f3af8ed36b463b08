#include "executor/codex/JsonRpc.h"

#include "executor/support/CVError.h"
#include "localization/L10n.h"

namespace corvane {

Json jsonRpcRequest(int64_t id, std::string_view method, const std::optional<Json>& params) {
  Json message = {{"id", id}, {"method", method}};
  if (params) message["params"] = *params;
  return message;
}

Json jsonRpcNotification(std::string_view method, const Json& params) {
  return {{"method", method}, {"params", params}};
}

Json jsonRpcUnsupported(const Json& id) {
  return {{"id", id}, {"error", {{"code", -32601}, {"message", "Client action is not supported."}}}};
}

std::string encodeJsonRpcLine(const Json& message) {
  if (!message.is_object()) throw CVError::invalid(L10n::text("Invalid JSON"));
  return compactJSON(message);
}

Json decodeJsonRpcLine(std::string_view line) {
  auto message = parseJSON(line);
  if (!message || !message->is_object()) throw CVError::runtime("protocol_error");
  return std::move(*message);
}

bool isJsonRpcResponse(const Json& message, int64_t id) {
  const Json* value = member(message, "id");
  if (!value || member(message, "method")) return false;
  if (value->is_number_unsigned()) return id >= 0 && value->get<uint64_t>() == static_cast<uint64_t>(id);
  return value->is_number_integer() && value->get<int64_t>() == id;
}

bool isJsonRpcServerRequest(const Json& message) { return member(message, "id") && member(message, "method"); }

const Json* loginCompletionParams(const Json& message) {
  const Json* method = member(message, "method");
  if (!method || *method != "account/login/completed") return nullptr;
  const Json* params = member(message, "params");
  const Json* loginID = params ? member(*params, "loginId") : nullptr;
  return loginID && loginID->is_string() ? params : nullptr;
}

}  // namespace corvane
