#include "executor/diagnostics/DiagnosticEvent.h"

#include <gtest/gtest.h>

#include "executor/diagnostics/DiagnosticsFixture.h"

namespace corvane {
namespace {

using test::diagnosticsNow;
using test::diagnosticsNowSeconds;

DiagnosticEvent validEvent() {
  DiagnosticEvent event;
  event.id = "0b7c5a9e-2f4d-4c1a-9e3b-6d8f0a1b2c3d";
  event.recordedAt = diagnosticsNowSeconds;
  event.code = "codex_account_read_timeout";
  event.metadata = test::sampleMetadata;
  return event;
}

TEST(DiagnosticEventTest, ValidityOfEachField) {
  struct Case {
    const char* name;
    void (*change)(DiagnosticEvent&);
    bool valid;
  };
  const Case cases[] = {
      {"as built", [](DiagnosticEvent&) {}, true},
      {"upper-case id", [](DiagnosticEvent& e) { e.id = "0B7C5A9E-2F4D-4C1A-9E3B-6D8F0A1B2C3D"; }, true},
      {"id not a UUID", [](DiagnosticEvent& e) { e.id = "event-1"; }, false},
      {"120 s ahead", [](DiagnosticEvent& e) { e.recordedAt = diagnosticsNowSeconds + 120; }, true},
      {"121 s ahead", [](DiagnosticEvent& e) { e.recordedAt = diagnosticsNowSeconds + 121; }, false},
      {"7 days old", [](DiagnosticEvent& e) { e.recordedAt = diagnosticsNowSeconds - 604800; }, true},
      {"7 days and 1 s old", [](DiagnosticEvent& e) { e.recordedAt = diagnosticsNowSeconds - 604801; }, false},
      {"not finite", [](DiagnosticEvent& e) { e.recordedAt = std::numeric_limits<double>::quiet_NaN(); }, false},
      {"task_succeeded", [](DiagnosticEvent& e) { e.code = "task_succeeded"; }, true},
      {"task_skipped", [](DiagnosticEvent& e) { e.code = "task_skipped"; }, true},
      {"codex_login_start_succeeded", [](DiagnosticEvent& e) { e.code = "codex_login_start_succeeded"; }, true},
      {"task_deferred", [](DiagnosticEvent& e) { e.code = "task_deferred"; }, false},
      {"codex_login_start", [](DiagnosticEvent& e) { e.code = "codex_login_start"; }, false},
      {"a category that is no stage's", [](DiagnosticEvent& e) { e.code = "codex_login_bogus_succeeded"; }, false},
      {"bare _succeeded", [](DiagnosticEvent& e) { e.code = "_succeeded"; }, false},
      {"invalid metadata", [](DiagnosticEvent& e) { e.metadata.appBuild = "1.2.3b4"; }, false},
      {"task and account UUIDs, an action",
       [](DiagnosticEvent& e) {
         e.taskId = "11111111-2222-4333-8444-555555555555";
         e.accountId = "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee";
         e.action = "ping";
       },
       true},
      {"task id not a UUID", [](DiagnosticEvent& e) { e.taskId = "task-1"; }, false},
      {"account id not a UUID", [](DiagnosticEvent& e) { e.accountId = "user@example.com"; }, false},
      {"unknown action", [](DiagnosticEvent& e) { e.action = "manual_ping"; }, false},
      {"duration 0", [](DiagnosticEvent& e) { e.durationMs = 0; }, true},
      {"duration 86,400,000", [](DiagnosticEvent& e) { e.durationMs = 86'400'000; }, true},
      {"duration 86,400,001", [](DiagnosticEvent& e) { e.durationMs = 86'400'001; }, false},
      {"negative duration", [](DiagnosticEvent& e) { e.durationMs = -1; }, false},
      {"rpc -32768", [](DiagnosticEvent& e) { e.rpcCode = -32768; }, true},
      {"rpc 32768", [](DiagnosticEvent& e) { e.rpcCode = 32768; }, false},
      {"http 400", [](DiagnosticEvent& e) { e.httpStatus = 400; }, true},
      {"http 599", [](DiagnosticEvent& e) { e.httpStatus = 599; }, true},
      {"http 399", [](DiagnosticEvent& e) { e.httpStatus = 399; }, false},
      {"http 600", [](DiagnosticEvent& e) { e.httpStatus = 600; }, false},
  };
  for (const auto& c : cases) {
    DiagnosticEvent event = validEvent();
    c.change(event);
    EXPECT_EQ(event.valid(diagnosticsNow), c.valid) << c.name;
  }
}

TEST(DiagnosticEventTest, WritesOptionalMembersOnlyWhenPresentAndDecodesStrictly) {
  DiagnosticEvent plain = validEvent();
  EXPECT_EQ(plain.json(), (Json{{"id", plain.id},
                                {"recordedAt", diagnosticsNowSeconds},
                                {"code", plain.code},
                                {"metadata", test::sampleMetadata.json()},
                                {"delivered", false}}));
  Json wire = plain.json();
  wire.erase("delivered");
  EXPECT_EQ(plain.wire(), wire);

  DiagnosticEvent full = validEvent();
  full.taskId = "11111111-2222-4333-8444-555555555555";
  full.accountId = "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee";
  full.action = "read";
  full.durationMs = 1234;
  full.rpcCode = -32601;
  full.httpStatus = 503;
  full.delivered = true;
  for (const auto& event : {plain, full}) EXPECT_EQ(DiagnosticEvent::decode(event.json()), event);

  struct Case {
    const char* name;
    void (*change)(Json&);
  };
  const Case undecodable[] = {
      {"no id", [](Json& j) { j.erase("id"); }},
      {"no delivered", [](Json& j) { j.erase("delivered"); }},
      {"no metadata", [](Json& j) { j.erase("metadata"); }},
      {"recordedAt a string", [](Json& j) { j["recordedAt"] = "1800000000"; }},
      {"delivered a number", [](Json& j) { j["delivered"] = 1; }},
      {"durationMs with a fraction", [](Json& j) { j["durationMs"] = 1.5; }},
      {"httpStatus a string", [](Json& j) { j["httpStatus"] = "500"; }},
      {"taskId a number", [](Json& j) { j["taskId"] = 7; }},
      {"metadata short of a member", [](Json& j) { j["metadata"].erase("codexVersion"); }},
  };
  for (const auto& c : undecodable) {
    Json json = full.json();
    c.change(json);
    EXPECT_EQ(DiagnosticEvent::decode(json), std::nullopt) << c.name;
  }
  Json nulls = plain.json();
  nulls["taskId"] = nullptr;
  nulls["rpcCode"] = nullptr;
  EXPECT_EQ(DiagnosticEvent::decode(nulls), plain);
}

}  // namespace
}  // namespace corvane
