#include "executor/support/CVError.h"

#include "localization/L10n.h"

namespace corvane {

namespace {
std::string describe(CVError::Kind kind, const std::string& message, std::optional<int> status) {
  switch (kind) {
    case CVError::Kind::invalid:
      return message;
    case CVError::Kind::network:
      return L10n::text("Coordinator request failed%1$@",
                        status ? " (HTTP " + std::to_string(*status) + ")" : std::string());
    case CVError::Kind::runtime:
      return L10n::text("Codex execution failed: %1$@", message);
    case CVError::Kind::storage:
      return L10n::text("Local secure storage is unavailable");
    case CVError::Kind::timeout:
      return L10n::text("Operation timed out");
  }
  return message;
}
}  // namespace

CVError::CVError(Kind kind, std::string message, std::optional<int> status)
    : kind_(kind), message_(std::move(message)), status_(status), description_(describe(kind_, message_, status_)) {}

}  // namespace corvane
