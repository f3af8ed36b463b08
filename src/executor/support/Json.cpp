#include "executor/support/Json.h"

#include <cmath>

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
bool finiteNumbers(const Json& value) {
  switch (value.type()) {
    case Json::value_t::number_float:
      return std::isfinite(value.get<double>());
    case Json::value_t::object:
    case Json::value_t::array:
      for (const auto& element : value)
        if (!finiteNumbers(element)) return false;
      return true;
    default:
      return true;
  }
}

// Strict dumping throws on invalid UTF-8 in strings and keys.
std::optional<std::string> dump(const Json& value, int indent) {
  if (!finiteNumbers(value)) return std::nullopt;
  try {
    return value.dump(indent, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::type_error&) {
    return std::nullopt;
  }
}
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
  Json value = Json::parse(text, nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

}  // namespace corvane
