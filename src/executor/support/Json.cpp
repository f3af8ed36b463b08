#include "executor/support/Json.h"

#include <cmath>
#include <utility>
#include <vector>

#include "executor/support/CVError.h"
#include "localization/L10n.h"

namespace corvane {

const Json* member(const Json& value, std::string_view key) {
  if (!value.is_object()) return nullptr;
  auto found = value.find(key);
  return found == value.end() ? nullptr : &*found;
}

const Json& object(const Json* value) {
  if (!value || !value->is_object()) throw CVError::invalid(L10n::text("Invalid JSON object"));
  return *value;
}

std::string string(const Json* value, std::string_view name) {
  if (!value || !value->is_string() || value->get_ref<const std::string&>().empty())
    throw CVError::invalid(L10n::text("Missing %1$@", std::string(name)));
  return value->get<std::string>();
}

namespace {

// Walks value with an explicit stack: finite numbers only, and no deeper than
// the bound, so neither this walk nor the dump after it can exhaust the stack.
bool writable(const Json& value) {
  std::vector<std::pair<const Json*, int>> pending{{&value, 1}};
  while (!pending.empty()) {
    auto [current, depth] = pending.back();
    pending.pop_back();
    if (current->is_number_float() && !std::isfinite(current->get<double>())) return false;
    if (!current->is_structured()) continue;
    if (depth > maximumWrittenDepth) return false;
    for (const auto& element : *current) pending.emplace_back(&element, depth + 1);
  }
  return true;
}

// Strict dumping throws on invalid UTF-8 in strings and keys.
std::optional<std::string> dump(const Json& value, int indent) {
  if (!writable(value)) return std::nullopt;
  try {
    return value.dump(indent, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::type_error&) {
    return std::nullopt;
  }
}

// Thrown from the parser's callback to abandon a document nested too deeply.
struct TooDeep {};

}  // namespace

bool isSerializable(const Json& value) { return dump(value, -1).has_value(); }

std::string compactJSON(const Json& value) {
  auto text = dump(value, -1);
  if (!text) throw CVError::invalid(L10n::text("Invalid JSON"));
  return std::move(*text);
}

std::string prettyJSON(const Json& value) {
  auto text = dump(value, 2);
  if (!text) throw CVError::invalid(L10n::text("Invalid JSON"));
  return std::move(*text) + "\n";
}

std::optional<Json> parseJSON(std::string_view text) {
  // The parser itself keeps its nesting on the heap, but the value it would
  // build is walked recursively by everything that uses it; the callback sees
  // each container open with the number of containers around it.
  auto limitDepth = [](int depth, Json::parse_event_t event, Json&) {
    if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
        depth >= maximumParsedDepth)
      throw TooDeep{};
    return true;
  };
  try {
    Json value = Json::parse(text, limitDepth, false);
    if (value.is_discarded()) return std::nullopt;
    return value;
  } catch (const TooDeep&) {
    return std::nullopt;
  }
}

}  // namespace corvane
