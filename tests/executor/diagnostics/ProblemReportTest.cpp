#include "executor/diagnostics/ProblemReport.h"

#include <gtest/gtest.h>

#include "executor/diagnostics/DiagnosticsFixture.h"

namespace corvane {
namespace {

using test::diagnosticsNow;
using test::diagnosticsNowSeconds;

const std::string reportUuid = "0b7c5a9e-2f4d-4c1a-9e3b-6d8f0a1b2c3d";
const std::string supportNumber = "CV-7f3e2d1c-0b9a-4877-8665-544332211000-" + reportUuid;

std::string repeated(const std::string& piece, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += piece;
  return text;
}

TEST(ProblemReportTest, CountsUtf16CodeUnits) {
  struct Case {
    std::string text;
    size_t units;
  };
  const Case cases[] = {
      {"", 0},
      {"abc", 3},
      {"\xC3\xA9", 1},                  // é, two bytes
      {"\xE4\xB8\xAD\xE6\x96\x87", 2},  // 中文
      {"\xF0\x9F\x98\x80", 2},          // an emoji outside the BMP
      {"\xF0\x9F\x98", 3},              // a cut-off sequence: each byte counts
      {"\xFF"
       "a",
       2},
  };
  for (const auto& c : cases) EXPECT_EQ(ProblemReport::utf16Length(c.text), c.units) << c.text;
}

TEST(ProblemReportTest, ValidityOfEachField) {
  auto base = [] {
    return ProblemReport{.id = reportUuid,
                         .recordedAt = diagnosticsNowSeconds,
                         .description = "",
                         .metadata = test::sampleMetadata,
                         .events = {},
                         .status = ProblemReport::pending,
                         .reportId = std::nullopt};
  };
  const std::string emoji = "\xF0\x9F\x98\x80";
  struct Case {
    const char* name;
    std::function<void(ProblemReport&)> change;
    bool valid;
  };
  const Case cases[] = {
      {"as built", [](ProblemReport&) {}, true},
      {"one second in the future", [](ProblemReport& r) { r.recordedAt = diagnosticsNowSeconds + 1; }, false},
      {"7 days old", [](ProblemReport& r) { r.recordedAt = diagnosticsNowSeconds - 604800; }, true},
      {"7 days and 1 s old", [](ProblemReport& r) { r.recordedAt = diagnosticsNowSeconds - 604801; }, false},
      {"id not a UUID", [](ProblemReport& r) { r.id = "report"; }, false},
      {"500 emoji", [&](ProblemReport& r) { r.description = repeated(emoji, 500); }, true},
      {"500 emoji and a letter", [&](ProblemReport& r) { r.description = repeated(emoji, 500) + "a"; }, false},
      {"128 events", [](ProblemReport& r) { r.events.resize(128); }, true},
      {"129 events", [](ProblemReport& r) { r.events.resize(129); }, false},
      {"submitted with a number",
       [](ProblemReport& r) {
         r.status = ProblemReport::submitted;
         r.reportId = supportNumber;
       },
       true},
      {"failed", [](ProblemReport& r) { r.status = ProblemReport::failed; }, true},
      {"unknown status", [](ProblemReport& r) { r.status = "sent"; }, false},
      {"malformed number", [](ProblemReport& r) { r.reportId = "CV-123"; }, false},
      {"invalid metadata", [](ProblemReport& r) { r.metadata.macOS = "14.5 beta"; }, false},
  };
  for (const auto& c : cases) {
    ProblemReport report = base();
    c.change(report);
    EXPECT_EQ(report.valid(diagnosticsNow), c.valid) << c.name;
  }
}

TEST(ProblemReportTest, SupportNumbers) {
  EXPECT_TRUE(ProblemReport::isSupportNumber(supportNumber));
  EXPECT_TRUE(ProblemReport::isSupportNumber("CV-" + std::string(73, 'F')));
  EXPECT_FALSE(ProblemReport::isSupportNumber("CV-" + std::string(72, 'a')));
  EXPECT_FALSE(ProblemReport::isSupportNumber("CV-" + std::string(74, 'a')));
  EXPECT_FALSE(ProblemReport::isSupportNumber("cv-" + std::string(73, 'a')));
  EXPECT_FALSE(ProblemReport::isSupportNumber("CV-" + std::string(72, 'a') + "g"));
}

TEST(ProblemReportTest, WireFormLeavesOutStatusAndNumber) {
  DiagnosticEvent event;
  event.id = "11111111-2222-4333-8444-555555555555";
  event.recordedAt = diagnosticsNowSeconds - 5;
  event.code = "task_failed";
  event.metadata = test::sampleMetadata;
  event.delivered = true;
  ProblemReport report{.id = reportUuid,
                       .recordedAt = diagnosticsNowSeconds,
                       .description = "Nothing syncs",
                       .metadata = test::sampleMetadata,
                       .events = {event},
                       .status = ProblemReport::submitted,
                       .reportId = supportNumber};
  EXPECT_EQ(report.wire(), (Json{{"id", reportUuid},
                                 {"recordedAt", diagnosticsNowSeconds},
                                 {"description", "Nothing syncs"},
                                 {"metadata", test::sampleMetadata.json()},
                                 {"events", Json::array({event.wire()})}}));
  EXPECT_EQ(ProblemReport::decode(report.json()), report);
  Json noNumber = report.json();
  noNumber.erase("reportId");
  EXPECT_TRUE(ProblemReport::decode(noNumber));
  Json noStatus = report.json();
  noStatus.erase("status");
  EXPECT_EQ(ProblemReport::decode(noStatus), std::nullopt);
  Json badEvent = report.json();
  badEvent["events"][0].erase("code");
  EXPECT_EQ(ProblemReport::decode(badEvent), std::nullopt);
}

}  // namespace
}  // namespace corvane
