#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "executor/support/Json.h"

namespace corvane {

// The messages of the runtime's line protocol: JSON-RPC without the
// "jsonrpc" member, one JSON object per line.

// {"id": id, "method": method} plus "params" when there are parameters.
Json jsonRpcRequest(int64_t id, std::string_view method, const std::optional<Json>& params);

// {"method": method, "params": params}, without "id".
Json jsonRpcNotification(std::string_view method, const Json& params);

// The answer to every request the runtime sends us: we offer no client
// actions.
Json jsonRpcUnsupported(const Json& id);

// The line text of a message: compact, keys sorted, "/" unescaped, no
// newline. CVError.invalid ("Invalid JSON") when message is not an object
// that can be written.
std::string encodeJsonRpcLine(const Json& message);

// A received line as a JSON object; CVError.runtime "protocol_error" when it
// is not JSON or not an object.
Json decodeJsonRpcLine(std::string_view line);

// True when message answers request id: its "id" is that integer and it has
// no "method".
bool isJsonRpcResponse(const Json& message, int64_t id);

// True when message is a request from the runtime: it has "id" and "method".
bool isJsonRpcServerRequest(const Json& message);

// The parameters of an "account/login/completed" notification that names a
// string "loginId"; nullptr for anything else.
const Json* loginCompletionParams(const Json& message);

}  // namespace corvane
