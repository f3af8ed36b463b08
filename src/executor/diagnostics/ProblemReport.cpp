#include "executor/diagnostics/ProblemReport.h"

#include <cctype>
#include <cmath>

#include "executor/diagnostics/StrictFields.h"
#include "executor/support/Uuid.h"

namespace corvane {

bool ProblemReport::isSupportNumber(std::string_view text) {
  constexpr std::string_view prefix = "CV-";
  if (text.size() != prefix.size() + 73 || !text.starts_with(prefix)) return false;
  for (char c : text.substr(prefix.size()))
    if (c != '-' && !std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

size_t ProblemReport::utf16Length(std::string_view text) {
  size_t units = 0;
  for (size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    bool whole = length > 0 && i + length <= text.size();
    for (size_t k = 1; whole && k < length; ++k) whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (!whole) {
      ++units;
      ++i;
      continue;
    }
    units += length == 4 ? 2 : 1;
    i += length;
  }
  return units;
}

bool ProblemReport::valid(WallTime now) const {
  double age = unixSeconds(now) - recordedAt;
  return isUUID(id) && std::isfinite(recordedAt) && age >= 0 && age <= maximumAgeSeconds &&
         utf16Length(description) <= maximumDescriptionUnits && metadata.valid() && events.size() <= maximumEvents &&
         (status == pending || status == submitted || status == failed) && (!reportId || isSupportNumber(*reportId));
}

Json ProblemReport::wire() const {
  Json list = Json::array();
  for (const auto& event : events) list.push_back(event.wire());
  return Json{{"id", id},
              {"recordedAt", recordedAt},
              {"description", description},
              {"metadata", metadata.json()},
              {"events", std::move(list)}};
}

Json ProblemReport::json() const {
  Json list = Json::array();
  for (const auto& event : events) list.push_back(event.json());
  Json object{{"id", id},         {"recordedAt", recordedAt},    {"description", description},
              {"status", status}, {"metadata", metadata.json()}, {"events", std::move(list)}};
  if (reportId) object["reportId"] = *reportId;
  return object;
}

std::optional<ProblemReport> ProblemReport::decode(const Json& value) {
  if (!value.is_object()) return std::nullopt;
  using namespace diagnostics;
  ProblemReport report;
  const Json* metadata = member(value, "metadata");
  auto decodedMetadata = metadata ? DiagnosticMetadata::decode(*metadata) : std::nullopt;
  const Json* events = member(value, "events");
  if (!decodedMetadata || !events || !events->is_array() || !readString(value, "id", report.id) ||
      !readNumber(value, "recordedAt", report.recordedAt) || !readString(value, "description", report.description) ||
      !readString(value, "status", report.status) || !readOptionalString(value, "reportId", report.reportId))
    return std::nullopt;
  report.metadata = std::move(*decodedMetadata);
  for (const auto& item : *events) {
    auto event = DiagnosticEvent::decode(item);
    if (!event) return std::nullopt;
    report.events.push_back(std::move(*event));
  }
  return report;
}

}  // namespace corvane
