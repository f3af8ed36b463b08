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

// How deeply arrays and objects may nest in JSON read from outside. Real
// messages stay within a handful of levels; the bound keeps every walk over a
// parsed value (copying, comparing, writing) far from the end of the stack.
inline constexpr int maximumParsedDepth = 64;

// How deeply a value may nest to be written: room for the few levels our own
// code wraps around a parsed value, and still a bounded walk.
inline constexpr int maximumWrittenDepth = 2 * maximumParsedDepth;

// True when value can be written as JSON: every number finite, every string
// and key valid UTF-8, and no deeper than maximumWrittenDepth. The check
// itself never recurses.
bool isSerializable(const Json& value);

// Compact form with sorted keys and "/" unescaped, for files and request
// bodies. CVError.invalid("Invalid JSON") when the value is not serializable.
std::string compactJSON(const Json& value);

// The tool's output form: pretty-printed, sorted keys, ending in one newline.
std::string prettyJSON(const Json& value);

// Parses text; nothing when it is not JSON or nests arrays and objects deeper
// than maximumParsedDepth. Every JSON from outside the process (coordinator
// answers, runtime lines, standard input, files) is read through this.
std::optional<Json> parseJSON(std::string_view text);

}  // namespace corvane
