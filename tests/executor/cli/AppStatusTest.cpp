#include <gtest/gtest.h>

#include <fstream>

#include "executor/cli/StatusCommands.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

WallTime at(const std::string& text) {
  Json value = text;
  return parseTime(&value);
}

const WallTime now = at("2026-12-11T12:00:00Z");

void writeFile(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

Json login(const std::string& id, const std::string& url = "https://auth.openai.com/codex/device",
           const std::string& expiresAt = "2026-12-11T12:10:00.250Z") {
  return Json{{"id", id}, {"verificationUrl", url}, {"userCode", "ABCD-1234"}, {"expiresAt", expiresAt}};
}

class AppStatusTest : public ::testing::Test {
 protected:
  void pair(const std::string& deviceId = "device-1") {
    writeFile(directory / "coordinator.json",
              Json{{"deviceId", deviceId}, {"url", "https://coordinator.example"}, {"email", "me@example.com"}}.dump());
  }
  void pending(const std::string& name, const Json& payload) {
    writeFile(directory / "pending-logins" / name, payload.dump());
  }
  Json status() const { return appStatus(directory.path(), true, now); }

  test::TemporaryDirectory directory;
};

TEST_F(AppStatusTest, AnEmptyDirectoryReportsEveryKeyAsAbsent) {
  Json snapshot = appStatus(directory / "absent", false, now);
  EXPECT_EQ(snapshot, (Json{{"codexAvailable", false},
                            {"email", ""},
                            {"health", nullptr},
                            {"latestCodexError", nullptr},
                            {"logins", Json::array()},
                            {"paired", false},
                            {"signOutPending", false},
                            {"supportDiagnostics", {{"enabled", true}, {"pendingCount", 0}}}}));
  EXPECT_FALSE(fs::exists(directory / "absent"));
}

TEST_F(AppStatusTest, ReportsAPairedDirectoryWithHealthLoginsAndSignOut) {
  pair();
  writeFile(directory / "agent-health.json",
            R"({"state": "online", "updatedAt": "2026-12-11T11:59:58Z", "lastHeartbeatAt": "2026-12-11T11:59:50Z",
                "lastErrorCode": "not-a-code", "deviceRevoked": "yes", "extra": 1})");
  pending("a.json", login("login-a"));
  writeFile(directory / "sign-out.json", "{}");

  Json snapshot = status();
  EXPECT_TRUE(snapshot["paired"]);
  EXPECT_EQ(snapshot["email"], "me@example.com");
  EXPECT_TRUE(snapshot["signOutPending"]);
  EXPECT_EQ(snapshot["health"], (Json{{"state", "online"},
                                      {"updatedAt", "2026-12-11T11:59:58Z"},
                                      {"lastHeartbeatAt", "2026-12-11T11:59:50Z"},
                                      {"lastErrorCode", nullptr},
                                      {"deviceRevoked", false},
                                      {"rePairReady", false},
                                      {"updatePreparationID", nullptr},
                                      {"updateReady", false}}))
      << "normalised: unknown members dropped, malformed ones emptied";
  Json expected = login("login-a");
  expected["expiresAt"] = "2026-12-11T12:10:00Z";
  EXPECT_EQ(snapshot["logins"], Json::array({expected}));
}

TEST_F(AppStatusTest, ListsOnlyPendingLoginsThatAreSafeToShow) {
  pair();
  struct Case {
    const char* why;
    Json payload;
  };
  const Case refused[] = {
      {"expired", login("old", "https://auth.openai.com/x", "2026-12-11T12:00:00Z")},
      {"http", login("plain", "http://auth.openai.com/x")},
      {"another host", login("other", "https://auth.openai.com.example/x")},
      {"a user in the address", login("user", "https://me@chatgpt.com/x")},
      {"an id that is no identifier", login("bad id")},
      {"a user code too long",
       [] {
         Json payload = login("long");
         payload["userCode"] = std::string(101, 'C');
         return payload;
       }()},
  };
  for (const Case& test : refused) {
    fs::remove_all(directory / "pending-logins");
    pending("x.json", test.payload);
    EXPECT_EQ(status()["logins"], Json::array()) << test.why;
  }
  fs::remove_all(directory / "pending-logins");
  Json longest = login("fine", "https://chatgpt.com/device");
  longest["userCode"] = std::string(100, 'C');
  pending("x.json", longest);
  EXPECT_EQ(status()["logins"].size(), 1u);
}

TEST_F(AppStatusTest, ExaminesAtMostFivePendingLoginsInListingOrder) {
  pair();
  std::vector<std::string> listed;
  for (int i = 0; i < 6; ++i) pending("login-" + std::to_string(i) + ".json", login("login-" + std::to_string(i)));
  for (const auto& entry : fs::directory_iterator(directory / "pending-logins"))
    listed.push_back(entry.path().stem().string());
  Json logins = status()["logins"];
  ASSERT_EQ(logins.size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(logins[i]["id"], listed[i]);
}

TEST_F(AppStatusTest, AnUnusablePairingShowsNoLoginsButStillItsEmail) {
  pair("device 1");
  pending("a.json", login("login-a"));
  Json snapshot = status();
  EXPECT_FALSE(snapshot["paired"]);
  EXPECT_EQ(snapshot["logins"], Json::array());
  EXPECT_EQ(snapshot["email"], "me@example.com");
}

TEST_F(AppStatusTest, OversizedLinkedOrMalformedFilesCountAsAbsent) {
  pair();
  writeFile(directory / "agent-health.json",
            R"({"state": "online", "updatedAt": "2026-12-11T11:59:58Z", "pad": ")" + std::string(16384, 'x') + "\"}");
  EXPECT_EQ(status()["health"], nullptr) << "over 16384 bytes";
  writeFile(directory / "agent-health.json", R"({"state": "Online", "updatedAt": "2026-12-11T11:59:58Z"})");
  EXPECT_EQ(status()["health"], nullptr) << "an unknown state";
  writeFile(directory / "agent-health.json", "[1]");
  EXPECT_EQ(status()["health"], nullptr) << "not an object";

  test::TemporaryDirectory elsewhere;
  writeFile(elsewhere / "login.json", login("login-a").dump());
  fs::create_directories(directory / "pending-logins");
  fs::create_symlink(elsewhere / "login.json", directory / "pending-logins/a.json");
  EXPECT_EQ(status()["logins"], Json::array()) << "a linked login file";
  fs::remove_all(directory / "pending-logins");
  fs::create_directory_symlink(elsewhere.path(), directory / "pending-logins");
  EXPECT_EQ(status()["logins"], Json::array()) << "a linked folder";

  fs::remove(directory / "coordinator.json");
  fs::create_symlink(elsewhere / "login.json", directory / "coordinator.json");
  EXPECT_FALSE(status()["paired"]);
}

TEST_F(AppStatusTest, ADirectoryReachedThroughALinkIsNotRead) {
  pair();
  test::TemporaryDirectory links;
  fs::create_directory_symlink(directory.path(), links / "data");
  EXPECT_EQ(appStatus(links / "data", true, now),
            (Json{{"codexAvailable", true}, {"health", nullptr}, {"paired", false}}));
}

TEST_F(AppStatusTest, ReportsTheLatestCodexFailure) {
  writeFile(directory / "codex-diagnostics.json",
            R"({"schemaVersion": 1, "entries": [{"recordedAt": 1796990300, "code": "codex_account_read_timeout"},
                                                 {"recordedAt": 1796990390, "code": "codex_login_start_failed"}]})");
  EXPECT_EQ(status()["latestCodexError"], (Json{{"code", "codex_login_start_failed"}, {"recordedAt", 1796990390}}));
}

}  // namespace
}  // namespace corvane
