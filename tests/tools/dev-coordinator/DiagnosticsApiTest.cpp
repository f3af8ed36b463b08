#include <regex>
#include <string>

#include "CoordinatorFixture.h"

namespace corvane::test {
namespace {

using Json = nlohmann::json;

const std::string reportId = "0b7c5a9e-2f4d-4c1a-9e3b-6d8f0a1b2c3d";
const Json metadata = {{"appVersion", "0.1.0"}, {"appBuild", "1"}, {"codexVersion", "0.146.0"}, {"macOS", "6.1.0"}};

Json eventsBody(std::initializer_list<const char*> ids) {
  Json events = Json::array();
  for (const char* id : ids) events.push_back({{"id", id}, {"code", "task_started"}, {"recordedAt", 1.5e9}});
  return Json{{"events", events}};
}

Json reportBody(const std::string& id = reportId) {
  return Json{{"id", id},
              {"recordedAt", 1.5e9},
              {"description", "it broke"},
              {"metadata", metadata},
              {"events", Json::array()}};
}

class DiagnosticsApiTest : public CoordinatorFixture {
 protected:
  DiagnosticsApiTest() {
    Json code = coordinator.createPairingCode();
    auto paired = post("/v1/executor/pair", {{"code", code["code"]}, {"name", "Test"}});
    token = paired.json()["token"];
    deviceId = paired.json()["deviceId"];
  }

  HttpExchangeResponse send(const std::string& path, const Json& body) {
    return post(path, body, {{"Authorization", "Bearer " + token}});
  }

  std::string token;
  std::string deviceId;
};

TEST_F(DiagnosticsApiTest, AcknowledgesExactlyWhatWasSent) {
  auto answer = send("/v1/executor/diagnostics", eventsBody({"a", "b"}));
  ASSERT_EQ(answer.status, 200u) << answer.body;
  EXPECT_EQ(answer.json(), (Json{{"acceptedIds", {"a", "b"}}}));

  answer = send("/v1/executor/support-reports", reportBody());
  ASSERT_EQ(answer.status, 200u) << answer.body;
  std::string number = answer.json()["reportId"];
  EXPECT_TRUE(std::regex_match(number, std::regex("^CV-[0-9a-fA-F-]{73}$"))) << number;
  EXPECT_TRUE(number.ends_with(reportId)) << number;
  // The same report again keeps its number.
  EXPECT_EQ(send("/v1/executor/support-reports", reportBody()).json()["reportId"], number);

  send("/v1/executor/diagnostics", eventsBody({"b", "c"}));
  Json received = coordinator.control("diagnostics");
  ASSERT_EQ(received["events"].size(), 3u);
  EXPECT_EQ(received["events"][2]["id"], "c");
  ASSERT_EQ(received["reports"].size(), 1u);
  EXPECT_EQ(received["reports"][0]["reportId"], number);
  EXPECT_EQ(received["reports"][0]["deviceId"], deviceId);
  EXPECT_EQ(received["reports"][0]["description"], "it broke");

  coordinator.reset();
  EXPECT_EQ(coordinator.control("diagnostics")["events"], Json::array());
}

TEST_F(DiagnosticsApiTest, RefusesWhatNoPairedDeviceSendsOrWhatIsMalformed) {
  EXPECT_EQ(post("/v1/executor/diagnostics", eventsBody({"a"})).status, 401u);
  EXPECT_EQ(post("/v1/executor/support-reports", reportBody(), {{"Authorization", "Bearer nope"}}).status, 401u);
  EXPECT_EQ(send("/v1/executor/diagnostics", Json::object()).status, 400u);
  EXPECT_EQ(send("/v1/executor/diagnostics", Json{{"events", {{{"code", "x"}}}}}).status, 400u);
  Json many = Json{{"events", Json::array()}};
  for (int i = 0; i < 129; ++i) many["events"].push_back({{"id", std::to_string(i)}});
  EXPECT_EQ(send("/v1/executor/diagnostics", many).status, 413u);
  EXPECT_EQ(send("/v1/executor/support-reports", reportBody("report-1")).status, 422u);
  Json noDescription = reportBody();
  noDescription.erase("description");
  EXPECT_EQ(send("/v1/executor/support-reports", noDescription).status, 400u);
  EXPECT_EQ(coordinator.control("diagnostics")["events"], Json::array());
  EXPECT_EQ(coordinator.control("diagnostics")["reports"], Json::array());
}

TEST_F(DiagnosticsApiTest, WrongReceiptsOnRequest) {
  struct Case {
    const char* kind;
    const char* mode;
    std::function<void(const Json& answer)> check;
  };
  const Case cases[] = {
      {"events", "missing-id",
       [](const Json& a) {
         EXPECT_EQ(a, (Json{{"acceptedIds", {"a"}}}));
       }},
      {"events", "extra-id",
       [](const Json& a) {
         ASSERT_EQ(a["acceptedIds"].size(), 3u);
         EXPECT_EQ(a["acceptedIds"][1], "b");
       }},
      {"events", "empty", [](const Json& a) { EXPECT_EQ(a, Json::object()); }},
      {"reports", "foreign-id",
       [](const Json& a) {
         std::string number = a["reportId"];
         EXPECT_TRUE(std::regex_match(number, std::regex("^CV-[0-9a-fA-F-]{73}$"))) << number;
         EXPECT_FALSE(number.ends_with(reportId));
       }},
      {"reports", "malformed",
       [](const Json& a) {
         EXPECT_EQ(a, (Json{{"reportId", "CV-" + reportId}}));
       }},
      {"reports", "empty", [](const Json& a) { EXPECT_EQ(a, Json::object()); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.mode);
    Json set = coordinator.control("diagnostics", {{"receipts", {{c.kind, c.mode}}}});
    EXPECT_EQ(set["receipts"][c.kind], c.mode);
    bool events = std::string(c.kind) == "events";
    auto answer = events ? send("/v1/executor/diagnostics", eventsBody({"a", "b"}))
                         : send("/v1/executor/support-reports", reportBody());
    ASSERT_EQ(answer.status, 200u) << answer.body;
    c.check(answer.json());
    coordinator.control("diagnostics", {{"receipts", {{c.kind, "correct"}}}});
  }
  EXPECT_THROW(coordinator.control("diagnostics", {{"receipts", {{"events", "foreign-id"}}}}), std::runtime_error);
  EXPECT_THROW(coordinator.control("diagnostics", {{"receipts", {{"tasks", "correct"}}}}), std::runtime_error);

  // Refusals and server errors are faults.
  coordinator.addFault({{"path", "/v1/executor/support-reports"}, {"status", 413}});
  EXPECT_EQ(send("/v1/executor/support-reports", reportBody()).status, 413u);
}

}  // namespace
}  // namespace corvane::test
