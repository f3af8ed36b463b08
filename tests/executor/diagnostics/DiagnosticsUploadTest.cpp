// The upload of SupportDiagnostics (flush): what goes in one request, how
// receipts are checked, and what the answer does to the stored state.

#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "executor/diagnostics/DiagnosticsFixture.h"
#include "executor/diagnostics/SupportDiagnostics.h"
#include "executor/support/CVError.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::at;
using test::diagnosticsNow;
using test::diagnosticsNowSeconds;

const std::string numberPrefix = "CV-7f3e2d1c-0b9a-4877-8665-544332211000-";

// The answer a coordinator that accepts everything gives.
Json correctReceipt(const std::string& path, const Json& body) {
  if (path == SupportDiagnostics::reportsPath) return Json{{"reportId", numberPrefix + body["id"].get<std::string>()}};
  Json ids = Json::array();
  for (const auto& event : body["events"]) ids.push_back(event["id"]);
  return Json{{"acceptedIds", ids}};
}

// A coordinator in the test's hands: every request is kept, and answer says
// what comes back (by default the correct receipt).
struct Coordinator {
  struct Call {
    std::string path;
    Json body;
  };
  std::vector<Call> calls;
  std::function<Json(const std::string&, const Json&)> answer = correctReceipt;

  DiagnosticsPost post() {
    return [this](const std::string& path, const Json& body) {
      calls.push_back({path, body});
      return answer(path, body);
    };
  }

  std::vector<std::string> sentEventIds(size_t call) const {
    std::vector<std::string> ids;
    for (const auto& event : calls.at(call).body["events"]) ids.push_back(event["id"]);
    return ids;
  }
};

class DiagnosticsUploadTest : public test::DiagnosticsFixture {
 protected:
  void storeEvents(int count, bool withReport = false) {
    DiagnosticsState stored = freshState();
    for (int i = 0; i < count; ++i) stored.events.push_back(event(uuid(i), -100 + i));
    if (withReport) stored.reports.push_back(report(uuid(1000)));
    writeState(stored);
  }

  size_t undelivered() const {
    size_t count = 0;
    for (const auto& stored : state().events) count += stored.delivered ? 0 : 1;
    return count;
  }

  Coordinator coordinator;
};

TEST_F(DiagnosticsUploadTest, ThirtyThreeEventsGoAsThirtyTwoThenOne) {
  storeEvents(33);
  diagnostics.flush(diagnosticsNow, coordinator.post());
  ASSERT_EQ(coordinator.calls.size(), 1u);
  EXPECT_EQ(coordinator.calls[0].path, "/v1/executor/diagnostics");
  std::vector<std::string> first32;
  for (int i = 0; i < 32; ++i) first32.push_back(uuid(i));
  EXPECT_EQ(coordinator.sentEventIds(0), first32);
  EXPECT_EQ(coordinator.calls[0].body["events"][0], event(uuid(0), -100).wire());
  EXPECT_EQ(undelivered(), 1u);
  EXPECT_EQ(state().attempts, 0);
  EXPECT_EQ(state().retryAt, diagnosticsNowSeconds + 5);

  diagnostics.flush(at(3), coordinator.post());  // within the pause: nothing
  EXPECT_EQ(coordinator.calls.size(), 1u);
  diagnostics.flush(at(5), coordinator.post());
  ASSERT_EQ(coordinator.calls.size(), 2u);
  EXPECT_EQ(coordinator.sentEventIds(1), (std::vector<std::string>{uuid(32)}));
  EXPECT_EQ(undelivered(), 0u);

  diagnostics.flush(at(10), coordinator.post());  // nothing left to send
  EXPECT_EQ(coordinator.calls.size(), 2u);
}

TEST_F(DiagnosticsUploadTest, APendingReportGoesBeforeAnyEvent) {
  storeEvents(3, true);
  diagnostics.flush(diagnosticsNow, coordinator.post());
  ASSERT_EQ(coordinator.calls.size(), 1u);
  EXPECT_EQ(coordinator.calls[0].path, "/v1/executor/support-reports");
  EXPECT_EQ(coordinator.calls[0].body, report(uuid(1000)).wire());
  EXPECT_EQ(undelivered(), 3u);
  ProblemReport submitted = state().reports.at(0);
  EXPECT_EQ(submitted.status, "submitted");
  EXPECT_EQ(submitted.reportId, numberPrefix + uuid(1000));
  EXPECT_EQ(submitted.description, "");  // what was sent is not kept
  EXPECT_TRUE(submitted.events.empty());
  EXPECT_EQ(diagnostics.status(at(1)), (Json{{"enabled", true},
                                             {"pendingCount", 3},
                                             {"reportStatus", "submitted"},
                                             {"reportId", numberPrefix + uuid(1000)}}));

  diagnostics.flush(at(5), coordinator.post());
  ASSERT_EQ(coordinator.calls.size(), 2u);
  EXPECT_EQ(coordinator.calls[1].path, "/v1/executor/diagnostics");
  EXPECT_EQ(undelivered(), 0u);
}

TEST_F(DiagnosticsUploadTest, EventsWaitBehindAReportThatKeepsFailing) {
  storeEvents(2, true);
  coordinator.answer = [](const std::string&, const Json&) -> Json { throw CVError::network(500); };
  diagnostics.flush(diagnosticsNow, coordinator.post());
  EXPECT_EQ(state().attempts, 1);
  EXPECT_EQ(state().retryAt, diagnosticsNowSeconds + 15);
  diagnostics.flush(at(14), coordinator.post());  // held back
  diagnostics.flush(at(15), coordinator.post());
  EXPECT_EQ(state().attempts, 2);
  EXPECT_EQ(state().retryAt, diagnosticsNowSeconds + 15 + 30);
  ASSERT_EQ(coordinator.calls.size(), 2u);
  for (const auto& call : coordinator.calls) EXPECT_EQ(call.path, "/v1/executor/support-reports");
  EXPECT_EQ(state().reports[0].status, "pending");
  EXPECT_EQ(undelivered(), 2u);

  // Filing again while one is pending changes nothing, the back-off included.
  EXPECT_EQ(diagnostics.submit("again", at(16)), uuid(1000));
  EXPECT_EQ(state().retryAt, diagnosticsNowSeconds + 45);
  coordinator.answer = correctReceipt;
  diagnostics.flush(at(45), coordinator.post());
  EXPECT_EQ(state().reports[0].status, "submitted");
  EXPECT_EQ(state().attempts, 0);
}

TEST_F(DiagnosticsUploadTest, WhileSwitchedOffOnlyReportsGo) {
  storeEvents(0);
  diagnostics.record("task_started", std::nullopt, std::nullopt, std::nullopt, diagnosticsNow);
  diagnostics.setEnabled(false, diagnosticsNow);
  diagnostics.record("task_failed", std::nullopt, std::nullopt, std::nullopt, diagnosticsNow);
  DiagnosticsState stored = state();
  for (auto& kept : stored.events) kept.delivered = false;  // even events not marked are not sent
  writeState(stored);
  diagnostics.flush(diagnosticsNow, coordinator.post());
  EXPECT_TRUE(coordinator.calls.empty());

  diagnostics.submit("while off", diagnosticsNow);
  diagnostics.flush(diagnosticsNow, coordinator.post());
  ASSERT_EQ(coordinator.calls.size(), 1u);
  EXPECT_EQ(coordinator.calls[0].path, "/v1/executor/support-reports");
  EXPECT_EQ(coordinator.calls[0].body["events"].size(), 2u);
  diagnostics.flush(at(10), coordinator.post());
  EXPECT_EQ(coordinator.calls.size(), 1u);
}

TEST_F(DiagnosticsUploadTest, AnEventsReceiptMustNameExactlyTheIdsSent) {
  struct Case {
    const char* name;
    std::function<Json(const Json& sentIds)> receipt;
    bool valid;
  };
  const Case cases[] = {
      {"the ids in another order, one twice",
       [](const Json& ids) {
         return Json{{"acceptedIds", {ids[2], ids[0], ids[1], ids[0]}}};
       },
       true},
      {"one missing",
       [](const Json& ids) {
         return Json{{"acceptedIds", {ids[0], ids[1]}}};
       },
       false},
      {"one more",
       [](const Json& ids) {
         Json more = ids;
         more.push_back(uuid(99));
         return Json{{"acceptedIds", more}};
       },
       false},
      {"empty object", [](const Json&) { return Json::object(); }, false},
      {"not an array",
       [](const Json& ids) {
         return Json{{"acceptedIds", ids[0]}};
       },
       false},
      {"a number among them",
       [](const Json& ids) {
         Json mixed = ids;
         mixed.push_back(7);
         return Json{{"acceptedIds", mixed}};
       },
       false},
      {"a report receipt",
       [](const Json&) {
         return Json{{"reportId", numberPrefix + uuid(0)}};
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    storeEvents(3);
    coordinator.calls.clear();
    coordinator.answer = [&](const std::string&, const Json& body) {
      Json ids = Json::array();
      for (const auto& sent : body["events"]) ids.push_back(sent["id"]);
      return c.receipt(ids);
    };
    diagnostics.flush(diagnosticsNow, coordinator.post());
    ASSERT_EQ(coordinator.calls.size(), 1u);
    if (c.valid) {
      EXPECT_EQ(undelivered(), 0u);
      EXPECT_EQ(state().attempts, 0);
      continue;
    }
    EXPECT_EQ(undelivered(), 3u);
    EXPECT_EQ(state().attempts, 1);
    EXPECT_EQ(state().retryAt, diagnosticsNowSeconds + 15);
    // The whole batch goes again after the back-off.
    coordinator.answer = correctReceipt;
    diagnostics.flush(at(15), coordinator.post());
    ASSERT_EQ(coordinator.calls.size(), 2u);
    EXPECT_EQ(coordinator.sentEventIds(1), coordinator.sentEventIds(0));
    EXPECT_EQ(undelivered(), 0u);
  }
}

TEST_F(DiagnosticsUploadTest, AReportReceiptMustCarryANumberEndingWithTheReportId) {
  const std::string id = uuid(1000);
  struct Case {
    const char* name;
    Json receipt;
  };
  const Case cases[] = {
      {"right form, another report's id", Json{{"reportId", numberPrefix + uuid(1001)}}},
      {"the id alone", Json{{"reportId", id}}},
      {"ends with the id but too long", Json{{"reportId", "CV-0" + numberPrefix.substr(3) + id}}},
      {"lower-case prefix", Json{{"reportId", "cv-" + numberPrefix.substr(3) + id}}},
      {"a number", Json{{"reportId", 7}}},
      {"empty object", Json::object()},
      {"an events receipt", Json{{"acceptedIds", Json::array()}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    storeEvents(0, true);
    coordinator.answer = [&](const std::string&, const Json&) { return c.receipt; };
    diagnostics.flush(diagnosticsNow, coordinator.post());
    EXPECT_EQ(state().reports[0].status, "pending");
    EXPECT_EQ(state().reports[0].reportId, std::nullopt);
    EXPECT_EQ(state().reports[0].description, "it broke");
    EXPECT_EQ(state().attempts, 1);
  }
}

TEST_F(DiagnosticsUploadTest, RefusalsForGoodGiveTheItemsUp) {
  struct Case {
    std::function<Json()> failure;  // throws
    bool forGood;
  };
  auto status = [](int code) { return [code]() -> Json { throw CVError::network(code); }; };
  const Case cases[] = {
      {status(400), true},
      {status(401), true},
      {status(403), true},
      {status(413), true},
      {status(422), true},
      {status(404), false},
      {status(409), false},
      {status(429), false},
      {status(500), false},
      {status(503), false},
      {[]() -> Json { throw CVError::network(); }, false},
      {[]() -> Json { throw CVError::timeout(); }, false},
      {[]() -> Json { throw CVError::invalid("Request too large"); }, false},
      {[]() -> Json { throw std::runtime_error("transport broke"); }, false},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(i);
    coordinator.answer = [&](const std::string&, const Json&) { return c.failure(); };

    storeEvents(0, true);
    diagnostics.flush(diagnosticsNow, coordinator.post());
    EXPECT_EQ(state().reports[0].status, c.forGood ? "failed" : "pending");
    EXPECT_EQ(state().attempts, 1);
    EXPECT_EQ(state().retryAt, diagnosticsNowSeconds + 15);
    if (c.forGood) {
      EXPECT_EQ(diagnostics.status(at(1)),
                (Json{{"enabled", true}, {"pendingCount", 0}, {"reportStatus", "failed"}, {"reportId", nullptr}}));
    }

    storeEvents(2);
    diagnostics.flush(diagnosticsNow, coordinator.post());
    EXPECT_EQ(undelivered(), c.forGood ? 0u : 2u);
    EXPECT_EQ(state().attempts, 1);
  }

  // A failed report is not sent again.
  storeEvents(0, true);
  coordinator.answer = [](const std::string&, const Json&) -> Json { throw CVError::network(413); };
  diagnostics.flush(diagnosticsNow, coordinator.post());
  coordinator.calls.clear();
  coordinator.answer = correctReceipt;
  diagnostics.flush(at(15), coordinator.post());
  EXPECT_TRUE(coordinator.calls.empty());
}

TEST_F(DiagnosticsUploadTest, BackOffDoublesFrom15SecondsToAnHour) {
  const double expected[] = {15, 30, 60, 120, 240, 480, 960, 1920, 3600, 3600, 3600, 3600};
  for (int n = 1; n <= 12; ++n) EXPECT_EQ(SupportDiagnostics::backOffSeconds(n), expected[n - 1]) << n;

  storeEvents(1);
  coordinator.answer = [](const std::string&, const Json&) -> Json { throw CVError::network(502); };
  double now = 0;
  for (int n = 1; n <= 12; ++n) {
    diagnostics.flush(at(now), coordinator.post());
    EXPECT_EQ(state().attempts, std::min(n, 10)) << n;
    EXPECT_EQ(state().retryAt, diagnosticsNowSeconds + now + expected[std::min(n, 10) - 1]) << n;
    now = state().retryAt - diagnosticsNowSeconds;
  }
  EXPECT_EQ(coordinator.calls.size(), 12u);
  coordinator.answer = correctReceipt;
  diagnostics.flush(at(now), coordinator.post());
  EXPECT_EQ(state().attempts, 0);
}

TEST_F(DiagnosticsUploadTest, TheStateStaysOpenDuringTheRequest) {
  storeEvents(2);
  coordinator.answer = [&](const std::string& path, const Json& body) {
    // Recorded while the answer is on its way: kept, and not marked by it.
    diagnostics.record("task_started", std::nullopt, std::nullopt, std::nullopt, diagnosticsNow);
    return correctReceipt(path, body);
  };
  diagnostics.flush(diagnosticsNow, coordinator.post());
  DiagnosticsState after = state();
  ASSERT_EQ(after.events.size(), 3u);
  EXPECT_TRUE(after.events[0].delivered);
  EXPECT_TRUE(after.events[1].delivered);
  EXPECT_FALSE(after.events[2].delivered);
}

TEST_F(DiagnosticsUploadTest, ALateAnswerLeavesANewPairingAlone) {
  for (bool succeed : {true, false}) {
    SCOPED_TRACE(succeed);
    pair(test::sampleDeviceId);
    storeEvents(2, true);
    coordinator.answer = [&](const std::string& path, const Json& body) -> Json {
      pair("0E1D2C3B-4A59-4687-9A0B-C1D2E3F4A5B6");
      diagnostics.submit("new pairing", diagnosticsNow);
      if (!succeed) throw CVError::network(413);
      return correctReceipt(path, body);
    };
    diagnostics.flush(diagnosticsNow, coordinator.post());
    DiagnosticsState after = state();
    EXPECT_EQ(after.scope, scopeOf("0E1D2C3B-4A59-4687-9A0B-C1D2E3F4A5B6"));
    ASSERT_EQ(after.reports.size(), 1u);
    EXPECT_EQ(after.reports[0].status, "pending");
    EXPECT_EQ(after.attempts, 0);
    EXPECT_EQ(after.retryAt, 0);
  }
}

TEST_F(DiagnosticsUploadTest, NothingHappensWithoutAUsableState) {
  fs::remove(data() / "coordinator.json");
  diagnostics.flush(diagnosticsNow, coordinator.post());
  EXPECT_TRUE(coordinator.calls.empty());
  EXPECT_FALSE(fs::exists(stateFile()));
}

TEST_F(DiagnosticsUploadTest, AFlushWhileAnotherProcessUploadsTouchesNothing) {
  storeEvents(3, true);
  DiagnosticsState stored = state();
  stored.attempts = 2;
  stored.events.push_back(event(uuid(500), -700000));  // expired: any transaction would rewrite
  writeState(stored);
  std::string before = test::readFile(stateFile());
  ino_t inode = stateInode();
  {
    test::LockHolder other(data() / "support-upload.lock");
    diagnostics.flush(diagnosticsNow, coordinator.post());
    EXPECT_TRUE(coordinator.calls.empty());
    EXPECT_EQ(test::readFile(stateFile()), before);
    EXPECT_EQ(stateInode(), inode);
  }
  diagnostics.flush(diagnosticsNow, coordinator.post());
  EXPECT_EQ(coordinator.calls.size(), 1u);
}

}  // namespace
}  // namespace corvane
