#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace corvane {

// Loosely typed JSON as it crosses every boundary of the executor. Objects keep
// their keys sorted, which is the order every file and request body uses.
using Json = nlohmann::json;

// The member key of value when value is an object that has it; else nullptr
// (an absent member).
const Json* member(const Json& value, std::string_view key);

// value as an object; CVError.invalid("Invalid JSON object") when it is absent
// (nullptr) or not an object.
const Json& object(const Json* value);
inline const Json& object(const Json& value) { return object(&value); }

// value as a non-empty string; CVError.invalid("Missing <name>") otherwise.
std::string string(const Json* value, std::string_view name);

// True when value can be written as JSON: every number finite and every string
// and key valid UTF-8.
bool isSerializable(const Json& value);

// Compact form with sorted keys and "/" unescaped, for files and request
// bodies. CVError.invalid("Invalid JSON") when the value is not serializable.
std::string compactJSON(const Json& value);

// The tool's output form: pretty-printed, sorted keys, ending in one newline.
std::string prettyJSON(const Json& value);

// Parses text; nothing when it is not JSON.
std::optional<Json> parseJSON(std::string_view text);

}  // namespace corvane
