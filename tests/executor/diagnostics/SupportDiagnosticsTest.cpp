#include "executor/diagnostics/SupportDiagnostics.h"

#include <sys/stat.h>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "executor/diagnostics/DiagnosticsFixture.h"
#include "executor/support/Uuid.h"
#include "support/ErrorOf.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::at;
using test::diagnosticsNow;
using test::diagnosticsNowSeconds;
using test::errorOf;
using test::lowercaseCopy;

const Json fallbackStatus = {{"enabled", true}, {"pendingCount", 0}};
const DiagnosticTask pingTask{"11111111-2222-4333-8444-555555555555", "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee", "ping"};

class SupportDiagnosticsTest : public test::DiagnosticsFixture {};

TEST_F(SupportDiagnosticsTest, RecordsSanitizedEventsAndExportsThemWithoutTheDeliveredFlag) {
  CodexFailure failure{*CodexFailureCode::parse("codex_quota_read_rate_limited"), -32000, 429, 900};
  diagnostics.record("codex_quota_read_rate_limited", pingTask, 900, failure, diagnosticsNow);
  diagnostics.record("task_started", std::nullopt, std::nullopt, std::nullopt, at(1));

  DiagnosticsState stored = state();
  ASSERT_EQ(stored.events.size(), 2u);
  const DiagnosticEvent& first = stored.events[0];
  EXPECT_TRUE(isUUID(first.id));
  EXPECT_EQ(first.id, lowercaseCopy(first.id));
  EXPECT_EQ(first.recordedAt, diagnosticsNowSeconds);
  EXPECT_EQ(first.taskId, pingTask.id);
  EXPECT_EQ(first.accountId, pingTask.accountId);
  EXPECT_EQ(first.action, "ping");
  EXPECT_EQ(first.durationMs, 900);
  EXPECT_EQ(first.rpcCode, -32000);
  EXPECT_EQ(first.httpStatus, 429);
  EXPECT_EQ(first.metadata, test::sampleMetadata);
  EXPECT_FALSE(first.delivered);
  EXPECT_EQ(stored.scope, scopeOf(test::sampleDeviceId));
  EXPECT_EQ(test::modeOf(stateFile()), 0600u);
  EXPECT_EQ(test::modeOf(data() / "support-diagnostics.lock"), 0600u);
  EXPECT_EQ(test::readFile(data() / "support-diagnostics.lock"), "");

  Json exported = diagnostics.exportEvents(at(2));
  ASSERT_EQ(exported["events"].size(), 2u);
  EXPECT_EQ(exported["events"][0], first.wire());
  EXPECT_FALSE(exported["events"][1].contains("delivered"));
  EXPECT_FALSE(exported["events"][1].contains("taskId"));
  EXPECT_EQ(diagnostics.status(at(2)), (Json{{"enabled", true}, {"pendingCount", 2}}));
}

TEST_F(SupportDiagnosticsTest, RecordDropsWhatIsNotValid) {
  struct Case {
    const char* name;
    std::string code;
    std::optional<DiagnosticTask> task;
    std::optional<int64_t> durationMs;
    std::optional<CodexFailure> failure;
  };
  auto failureWithStatus = [](int status) {
    return CodexFailure{*CodexFailureCode::parse("codex_account_read_failed"), std::nullopt, status, std::nullopt};
  };
  const Case cases[] = {
      {"httpStatus 399", "codex_account_read_failed", std::nullopt, std::nullopt, failureWithStatus(399)},
      {"durationMs 86,400,001", "task_succeeded", std::nullopt, 86'400'001, std::nullopt},
      {"unknown code", "task_deferred", std::nullopt, std::nullopt, std::nullopt},
      {"task id not a UUID", "task_started", DiagnosticTask{"task-1", pingTask.accountId, "ping"}, std::nullopt,
       std::nullopt},
      {"unknown action", "task_started", DiagnosticTask{pingTask.id, pingTask.accountId, "manual_ping"}, std::nullopt,
       std::nullopt},
  };
  for (const auto& c : cases) {
    diagnostics.record(c.code, c.task, c.durationMs, c.failure, diagnosticsNow);
    EXPECT_FALSE(fs::exists(stateFile())) << c.name;
  }

  // Metadata that does not pass drops every event.
  SupportDiagnostics oddBuild(data(), DiagnosticMetadata{"1.2.3", "1.2.3b4", "0.146.0", "6.1.0"});
  oddBuild.record("task_started", pingTask, std::nullopt, std::nullopt, diagnosticsNow);
  oddBuild.record("codex_login_start_succeeded", pingTask, 10, std::nullopt, diagnosticsNow);
  EXPECT_FALSE(fs::exists(stateFile()));
  EXPECT_EQ(oddBuild.exportEvents(diagnosticsNow), (Json{{"events", Json::array()}}));
}

TEST_F(SupportDiagnosticsTest, KeepsTheNewest128Events) {
  DiagnosticsState stored = freshState();
  for (int i = 0; i < 130; ++i) stored.events.push_back(event(uuid(i)));
  writeState(stored);
  diagnostics.record("task_started", std::nullopt, std::nullopt, std::nullopt, diagnosticsNow);
  DiagnosticsState now = state();
  ASSERT_EQ(now.events.size(), 128u);
  EXPECT_EQ(now.events[0].id, uuid(3));  // two trimmed on reading, one more for the new event
  EXPECT_EQ(now.events[126].id, uuid(129));
  EXPECT_EQ(now.events[127].code, "task_started");
}

TEST_F(SupportDiagnosticsTest, SanitizesTheStoredStateAtEveryTransaction) {
  DiagnosticsState stored = freshState();
  stored.events = {event(uuid(1), -604800), event(uuid(2), -604801), event(uuid(3), 120), event(uuid(4), 121)};
  DiagnosticEvent badMetadata = event(uuid(5));
  badMetadata.metadata.appBuild = "1.2.3b4";
  stored.events.push_back(badMetadata);
  ProblemReport withEvents = report(uuid(10), ProblemReport::submitted);
  withEvents.events = {event(uuid(11)), event(uuid(12), -700000)};
  stored.reports = {report(uuid(9), ProblemReport::failed, 1), withEvents};
  stored.attempts = 25;
  stored.retryAt = diagnosticsNowSeconds + 7200;
  writeState(stored);

  diagnostics.status(diagnosticsNow);
  DiagnosticsState sanitized = state();
  std::vector<std::string> ids;
  for (const auto& kept : sanitized.events) ids.push_back(kept.id);
  EXPECT_EQ(ids, (std::vector<std::string>{uuid(1), uuid(3)}));
  ASSERT_EQ(sanitized.reports.size(), 1u);  // the one dated a second ahead is gone
  EXPECT_EQ(sanitized.reports[0].id, uuid(10));
  ASSERT_EQ(sanitized.reports[0].events.size(), 1u);
  EXPECT_EQ(sanitized.reports[0].events[0].id, uuid(11));
  EXPECT_EQ(sanitized.attempts, 10);
  EXPECT_EQ(sanitized.retryAt, 0);

  stored = freshState();
  stored.attempts = -3;
  stored.retryAt = diagnosticsNowSeconds + 3600;  // exactly the longest back-off stays
  writeState(stored);
  diagnostics.status(diagnosticsNow);
  EXPECT_EQ(state().attempts, 0);
  EXPECT_EQ(state().retryAt, diagnosticsNowSeconds + 3600);

  // The sixth report pushes out the oldest.
  stored = freshState();
  for (int i = 1; i <= 6; ++i) stored.reports.push_back(report(uuid(i), ProblemReport::submitted, -100 + i));
  writeState(stored);
  diagnostics.status(diagnosticsNow);
  ASSERT_EQ(state().reports.size(), 5u);
  EXPECT_EQ(state().reports.front().id, uuid(2));
}

TEST_F(SupportDiagnosticsTest, WritesTheFileOnlyWhenItChanges) {
  EXPECT_EQ(diagnostics.status(diagnosticsNow), (Json{{"enabled", true}, {"pendingCount", 0}}));
  ASSERT_TRUE(fs::exists(stateFile()));  // a read creates the file
  EXPECT_EQ(*storedState(), freshState().json());
  ino_t created = stateInode();
  diagnostics.status(diagnosticsNow);
  diagnostics.exportEvents(diagnosticsNow);
  diagnostics.setEnabled(true, diagnosticsNow);
  EXPECT_EQ(stateInode(), created);

  diagnostics.record("task_started", std::nullopt, std::nullopt, std::nullopt, diagnosticsNow);
  ino_t recorded = stateInode();
  EXPECT_NE(recorded, created);
  diagnostics.status(at(604800));
  EXPECT_EQ(stateInode(), recorded);
  diagnostics.status(at(604801));  // the event expired: a read rewrites
  EXPECT_NE(stateInode(), recorded);
  EXPECT_TRUE(state().events.empty());
}

TEST_F(SupportDiagnosticsTest, ReplacesAStateItCannotUse) {
  DiagnosticsState ours = freshState();
  ours.enabled = false;
  ours.events = {event(uuid(1))};
  DiagnosticsState otherDevice = ours;
  otherDevice.scope = scopeOf("0E1D2C3B-4A59-4687-9A0B-C1D2E3F4A5B6");
  Json wrongType = ours.json();
  wrongType["attempts"] = "3";
  Json missingMember = ours.json();
  missingMember.erase("retryAt");
  Json badEvent = ours.json();
  badEvent["events"][0]["delivered"] = "no";

  fs::path elsewhere = directory / "elsewhere.json";
  struct Case {
    const char* name;
    std::function<void()> plant;
  };
  const Case cases[] = {
      {"another device's state", [&] { writeState(otherDevice); }},
      {"not JSON", [&] { test::writeFile(stateFile(), "{\"scope\":"); }},
      {"a member of the wrong type", [&] { test::writeFile(stateFile(), wrongType.dump()); }},
      {"a missing member", [&] { test::writeFile(stateFile(), missingMember.dump()); }},
      {"an undecodable event", [&] { test::writeFile(stateFile(), badEvent.dump()); }},
      {"over 1 MiB",
       [&] {
         Json padded = ours.json();
         padded["padding"] = std::string(1 << 20, 'x');
         test::writeFile(stateFile(), padded.dump());
       }},
      {"a link to our own state",
       [&] {
         test::writeFile(elsewhere, compactJSON(ours.json()));
         fs::create_symlink(elsewhere, stateFile());
       }},
      {"a directory", [&] { fs::create_directory(stateFile()); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(stateFile());
    c.plant();
    if (fs::is_directory(fs::symlink_status(stateFile()))) {
      // Cannot be replaced by a file: the transaction fails, and nothing is lost or followed.
      EXPECT_EQ(errorOf([&] { diagnostics.setEnabled(false, diagnosticsNow); }), CVError::storage());
      continue;
    }
    EXPECT_EQ(diagnostics.status(diagnosticsNow), (Json{{"enabled", true}, {"pendingCount", 0}}));
    EXPECT_FALSE(fs::is_symlink(stateFile()));
    EXPECT_EQ(*storedState(), freshState().json());
  }
  EXPECT_EQ(test::readFile(elsewhere), compactJSON(ours.json()));

  // The same state read for its own device is kept.
  fs::remove_all(stateFile());
  writeState(ours);
  EXPECT_EQ(diagnostics.status(diagnosticsNow), (Json{{"enabled", false}, {"pendingCount", 0}}));
}

TEST_F(SupportDiagnosticsTest, AnotherPairingStartsAFreshState) {
  diagnostics.setEnabled(false, diagnosticsNow);
  diagnostics.record("task_started", std::nullopt, std::nullopt, std::nullopt, diagnosticsNow);
  pair("0E1D2C3B-4A59-4687-9A0B-C1D2E3F4A5B6");
  EXPECT_EQ(diagnostics.status(diagnosticsNow), (Json{{"enabled", true}, {"pendingCount", 0}}));
  EXPECT_EQ(state().scope, scopeOf("0E1D2C3B-4A59-4687-9A0B-C1D2E3F4A5B6"));
  EXPECT_TRUE(state().events.empty());

  // The device id's letter case does not make another pairing; the url does.
  diagnostics.record("task_started", std::nullopt, std::nullopt, std::nullopt, diagnosticsNow);
  pair("0e1d2c3b-4a59-4687-9a0b-c1d2e3f4a5b6");
  EXPECT_EQ(diagnostics.status(diagnosticsNow)["pendingCount"], 1);
  pair("0e1d2c3b-4a59-4687-9a0b-c1d2e3f4a5b6", "https://other.example");
  EXPECT_EQ(diagnostics.status(diagnosticsNow)["pendingCount"], 0);
}

TEST_F(SupportDiagnosticsTest, WithoutAUsablePairingNothingIsStored) {
  fs::path elsewhere = directory / "elsewhere.json";
  test::writeFile(elsewhere, Json{{"url", test::sampleUrl}, {"deviceId", test::sampleDeviceId}}.dump());
  struct Case {
    const char* name;
    std::function<void()> plant;
  };
  const Case cases[] = {
      {"no coordinator.json", [] {}},
      {"a link to a good one", [&] { fs::create_symlink(elsewhere, data() / "coordinator.json"); }},
      {"not JSON", [&] { test::writeFile(data() / "coordinator.json", "url="); }},
      {"an array", [&] { test::writeFile(data() / "coordinator.json", "[]"); }},
      {"device id not a UUID",
       [&] {
         test::writeFile(data() / "coordinator.json", Json{{"url", test::sampleUrl}, {"deviceId", "mac-1"}}.dump());
       }},
      {"url missing",
       [&] {
         test::writeFile(data() / "coordinator.json", Json{{"deviceId", test::sampleDeviceId}}.dump());
       }},
      {"url not a string",
       [&] {
         test::writeFile(data() / "coordinator.json", Json{{"url", 1}, {"deviceId", test::sampleDeviceId}}.dump());
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(data() / "coordinator.json");
    c.plant();
    diagnostics.record("task_started", std::nullopt, std::nullopt, std::nullopt, diagnosticsNow);
    EXPECT_EQ(diagnostics.status(diagnosticsNow), fallbackStatus);
    EXPECT_EQ(diagnostics.exportEvents(diagnosticsNow), (Json{{"events", Json::array()}}));
    EXPECT_EQ(errorOf([&] { diagnostics.setEnabled(false, diagnosticsNow); }), CVError::storage());
    EXPECT_EQ(errorOf([&] { diagnostics.submit("help", diagnosticsNow); }), CVError::storage());
    EXPECT_FALSE(fs::exists(stateFile()));
    EXPECT_FALSE(fs::exists(data() / "support-diagnostics.lock"));
  }

  // A data directory that is a link is refused even with a good pairing inside.
  fs::path real = directory / "real";
  fs::create_directory(real);
  test::writeFile(real / "coordinator.json", test::readFile(elsewhere));
  fs::path linked = directory / "linked";
  fs::create_directory_symlink(real, linked);
  SupportDiagnostics throughLink(linked, test::sampleMetadata);
  EXPECT_EQ(errorOf([&] { throughLink.setEnabled(false, diagnosticsNow); }), CVError::storage());
  EXPECT_EQ(throughLink.status(diagnosticsNow), fallbackStatus);
  EXPECT_FALSE(fs::exists(real / "support-diagnostics.json"));
}

TEST_F(SupportDiagnosticsTest, SwitchingOffEmptiesTheUploadQueueForGood) {
  diagnostics.record("task_started", std::nullopt, std::nullopt, std::nullopt, diagnosticsNow);
  diagnostics.setEnabled(false, diagnosticsNow);
  EXPECT_EQ(diagnostics.status(diagnosticsNow), (Json{{"enabled", false}, {"pendingCount", 0}}));
  diagnostics.record("task_failed", std::nullopt, std::nullopt, std::nullopt, at(1));
  EXPECT_TRUE(state().events.back().delivered);  // recorded while off: never sent by itself

  diagnostics.setEnabled(true, at(2));
  EXPECT_EQ(diagnostics.status(at(2)), (Json{{"enabled", true}, {"pendingCount", 0}}));
  diagnostics.record("task_succeeded", std::nullopt, std::nullopt, std::nullopt, at(3));
  EXPECT_EQ(diagnostics.status(at(3))["pendingCount"], 1);

  // A report still carries every event, delivered or not.
  std::string id = diagnostics.submit("sync stopped", at(4));
  DiagnosticsState stored = state();
  ASSERT_EQ(stored.reports.size(), 1u);
  std::vector<std::string> codes;
  for (const auto& copied : stored.reports[0].events) codes.push_back(copied.code);
  EXPECT_EQ(codes, (std::vector<std::string>{"task_started", "task_failed", "task_succeeded"}));
  EXPECT_EQ(stored.reports[0].id, id);
}

TEST_F(SupportDiagnosticsTest, SubmitFilesOneReportAtATime) {
  DiagnosticsState stored = freshState();
  stored.attempts = 4;
  stored.retryAt = diagnosticsNowSeconds + 240;
  writeState(stored);

  std::string first = diagnostics.submit("  Sync stopped\n", diagnosticsNow);
  EXPECT_TRUE(isUUID(first));
  EXPECT_EQ(first, lowercaseCopy(first));
  DiagnosticsState filed = state();
  ASSERT_EQ(filed.reports.size(), 1u);
  EXPECT_EQ(filed.reports[0].description, "  Sync stopped\n");
  EXPECT_EQ(filed.reports[0].status, "pending");
  EXPECT_EQ(filed.reports[0].reportId, std::nullopt);
  EXPECT_EQ(filed.reports[0].metadata, test::sampleMetadata);
  EXPECT_EQ(filed.retryAt, 0);  // the next upload goes at once
  EXPECT_EQ(filed.attempts, 4);
  EXPECT_EQ(diagnostics.status(diagnosticsNow),
            (Json{{"enabled", true}, {"pendingCount", 0}, {"reportStatus", "pending"}, {"reportId", nullptr}}));

  EXPECT_EQ(diagnostics.submit("", at(10)), first);
  ASSERT_EQ(state().reports.size(), 1u);
  EXPECT_EQ(state().reports[0].description, "  Sync stopped\n");
}

TEST_F(SupportDiagnosticsTest, DescriptionsUpTo1000Utf16Units) {
  const std::string emoji = "\xF0\x9F\x98\x80";
  auto repeated = [](const std::string& piece, size_t times) {
    std::string text;
    for (size_t i = 0; i < times; ++i) text += piece;
    return text;
  };
  struct Case {
    const char* name;
    std::string description;
    bool accepted;
  };
  const Case cases[] = {
      {"1000 letters", std::string(1000, 'a'), true},
      {"1001 letters", std::string(1001, 'a'), false},
      {"500 emoji", repeated(emoji, 500), true},
      {"500 emoji and a letter", repeated(emoji, 500) + "a", false},
      {"1000 Chinese characters (3000 bytes)", repeated("\xE4\xB8\xAD", 1000), true},
      {"empty", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(stateFile());
    auto error = errorOf([&] { diagnostics.submit(c.description, diagnosticsNow); });
    if (c.accepted) {
      EXPECT_EQ(error, std::nullopt);
      ASSERT_EQ(state().reports.size(), 1u);
      EXPECT_EQ(state().reports[0].description, c.description);
    } else {
      EXPECT_EQ(error, CVError::invalid("Report too long"));
      EXPECT_FALSE(fs::exists(stateFile()));
    }
  }
}

TEST_F(SupportDiagnosticsTest, AReportOfAnOddBuildIsFiledWithTheOddVersionUnknown) {
  SupportDiagnostics oddBuild(data(), DiagnosticMetadata{"1.2.3", "1.2.3b4", "0.146.0", "6.1.0"});
  std::string id = oddBuild.submit("crashes", diagnosticsNow);
  EXPECT_EQ(oddBuild.status(at(1))["reportStatus"], "pending");
  ASSERT_EQ(state().reports.size(), 1u);
  EXPECT_EQ(state().reports[0].id, id);
  EXPECT_EQ(state().reports[0].metadata, (DiagnosticMetadata{"1.2.3", "unknown", "0.146.0", "6.1.0"}));
}

TEST_F(SupportDiagnosticsTest, ThreadsOfOneProcessTakeTurns) {
  // The upload thread and task threads of the executor share one object's
  // file; none of their events may be lost to the lock.
  constexpr int threads = 4;
  constexpr int perThread = 25;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&] {
      for (int i = 0; i < perThread; ++i)
        diagnostics.record("task_started", std::nullopt, std::nullopt, std::nullopt, diagnosticsNow);
    });
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(state().events.size(), static_cast<size_t>(threads * perThread));
}

TEST_F(SupportDiagnosticsTest, AnotherProcessHoldingTheLockFailsEveryOperationAtOnce) {
  diagnostics.record("task_started", std::nullopt, std::nullopt, std::nullopt, diagnosticsNow);
  std::string before = test::readFile(stateFile());
  {
    test::LockHolder other(data() / "support-diagnostics.lock");
    // A wait here would never end: the holder keeps the lock until the test lets go.
    EXPECT_EQ(errorOf([&] { diagnostics.setEnabled(false, diagnosticsNow); }), CVError::storage());
    EXPECT_EQ(errorOf([&] { diagnostics.submit("help", diagnosticsNow); }), CVError::storage());
    EXPECT_EQ(diagnostics.status(diagnosticsNow), fallbackStatus);
    EXPECT_EQ(diagnostics.exportEvents(diagnosticsNow), (Json{{"events", Json::array()}}));
    diagnostics.record("task_failed", std::nullopt, std::nullopt, std::nullopt, diagnosticsNow);
    EXPECT_EQ(test::readFile(stateFile()), before);
  }
  diagnostics.setEnabled(false, diagnosticsNow);
  EXPECT_FALSE(state().enabled);
}

}  // namespace
}  // namespace corvane
