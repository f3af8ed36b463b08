#include "app/ui/InterfaceTesting.h"

namespace corvane::test {
namespace {

using namespace app;
using namespace std::chrono_literals;
using nlohmann::json;

json login(const char* id, const char* code, const char* expiresAt,
           const char* url = "https://auth.openai.com/codex/device") {
  return {{"id", id}, {"verificationUrl", url}, {"userCode", code}, {"expiresAt", expiresAt}};
}

class AuthorizationSectionTest : public InterfaceTest {
 protected:
  void showLogins(const json& logins) {
    service.current = LoginItemStatus::enabled;
    json document = statusDocument(true, onlineHealth());
    document["logins"] = logins;
    refreshWith(document);
    window().present();
  }

  QWidget* row(const char* id) { return window().findChild<QWidget*>(QString("authorization-request-") + id); }
  template <typename T = QWidget>
  T* inRow(const char* id, const char* name) {
    QWidget* found = row(id);
    EXPECT_TRUE(found) << id;
    return found ? found->findChild<T*>(QString::fromLatin1(name)) : nullptr;
  }
  bool shownInRow(const char* id, const char* name) {
    QWidget* widget = inRow(id, name);
    return widget && widget->isVisibleTo(&window());
  }
  int dividers() {
    int count = 0;
    for (auto* line : window().findChildren<QWidget*>("authorization-divider"))
      if (line->isVisibleTo(&window())) ++count;
    return count;
  }
};

TEST_F(AuthorizationSectionTest, OneRequestHasTheSingleInstructionAndNoDivider) {
  showLogins(json::array({login("l1", "AB12-CD34", "2026-01-01T12:15:00Z")}));
  EXPECT_TRUE(shown("authorization-section"));
  EXPECT_EQ(inRow<QLabel>("l1", "auth-instruction")->text(),
            "Check the ChatGPT account on the official page and enter this authorization code.");
  EXPECT_EQ(inRow<QLabel>("l1", "auth-code")->text(), "AB12-CD34");
  EXPECT_EQ(inRow<QLabel>("l1", "auth-expires")->text(), "Expires in 15:00");
  EXPECT_EQ(inRow<QLabel>("l1", "auth-host")->text(), "auth.openai.com");
  EXPECT_EQ(dividers(), 0);

  inRow<QPushButton>("l1", "copy-authorization-code")->click();
  EXPECT_EQ(desktop.copied, std::vector<std::string>{"AB12-CD34"});
  EXPECT_EQ(inRow<QLabel>("l1", "auth-feedback")->text(), "Code Copied");
  inRow<QPushButton>("l1", "auth-open")->click();
  EXPECT_EQ(desktop.opened, std::vector<std::string>{"https://auth.openai.com/codex/device"});
  EXPECT_EQ(inRow<QLabel>("l1", "auth-feedback")->text(),
            "Code copied and official page opened. Authorization is not yet confirmed.");
}

TEST_F(AuthorizationSectionTest, TwoRequestsAreOrderedByExpiryAndAskToMatchTheCode) {
  showLogins(json::array(
      {login("late", "LATE-0001", "2026-01-01T12:20:00Z"), login("early", "EARL-0002", "2026-01-01T12:05:00Z")}));
  for (const char* id : {"late", "early"})
    EXPECT_EQ(inRow<QLabel>(id, "auth-instruction")->text(), "Match this code to the account request on your iPhone.");
  window().resize(520, 1200);
  QCoreApplication::processEvents();
  EXPECT_LT(row("early")->mapTo(&window(), QPoint()).y(), row("late")->mapTo(&window(), QPoint()).y());
  EXPECT_EQ(dividers(), 1);
}

TEST_F(AuthorizationSectionTest, OnlyOfficialPagesOverHttpsOnTheDefaultPortAreOffered) {
  struct Case {
    const char* url;
    bool actionable;
  } cases[] = {
      {"https://auth.openai.com/codex/device", true},       {"https://auth.openai.com:443/codex/device", true},
      {"https://evil.example.com/codex/device", false},     {"http://auth.openai.com/codex/device", false},
      {"https://user@auth.openai.com/codex/device", false}, {"https://auth.openai.com:8443/codex/device", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    showLogins(json::array({login("l1", "AB12-CD34", "2026-01-01T12:15:00Z", c.url)}));
    EXPECT_EQ(shownInRow("l1", "auth-actionable"), c.actionable);
    EXPECT_EQ(shownInRow("l1", "auth-unsupported"), !c.actionable);
  }
}

TEST_F(AuthorizationSectionTest, ARequestExpiringWhileShownSwitchesAndItsCopyDoesNothing) {
  showLogins(json::array({login("l1", "AB12-CD34", "2026-01-01T12:15:00Z")}));
  auto* copy = inRow<QPushButton>("l1", "copy-authorization-code");
  now = uiStart + 15min;
  copy->click();  // before the redraw: the request has expired, nothing is copied
  EXPECT_TRUE(desktop.copied.empty());
  EXPECT_TRUE(waitUntil([&] { return shownInRow("l1", "auth-expired"); }));
  EXPECT_FALSE(shownInRow("l1", "auth-actionable"));
}

TEST_F(AuthorizationSectionTest, AFailedStatusReadHidesTheRequests) {
  showLogins(json::array({login("l1", "AB12-CD34", "2026-01-01T12:15:00Z")}));
  script({{"app-status", {{"stderr", "Corvane: failed"}, {"exit", 2}}}});
  finish(model().refresh());
  ASSERT_TRUE(model().statusError());
  EXPECT_TRUE(shown("authorization-unavailable"));
  EXPECT_FALSE(row("l1") && row("l1")->isVisibleTo(&window()));
}

TEST_F(AuthorizationSectionTest, AVanishedRequestIsNoLongerPendingUntilItsExpiryPasses) {
  showLogins(json::array({login("l1", "AB12-CD34", "2026-01-01T12:00:30Z")}));
  showLogins(json::array());
  EXPECT_EQ(labelText("authorization-ended"), "The authorization request is no longer pending.");
  now = uiStart + 30s;
  EXPECT_TRUE(
      waitUntil([&] { return labelText("authorization-ended") == "The last authorization code has expired."; }));
}

}  // namespace
}  // namespace corvane::test
