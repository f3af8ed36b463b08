#include <QLineEdit>
#include <QTest>

#include "app/ui/EmailVerificationPage.h"
#include "app/ui/InterfaceTesting.h"

namespace corvane::test {
namespace {

using namespace app;
using namespace std::chrono_literals;
using nlohmann::json;

const json pairStart =
    answerWith({{"id", "p1"}, {"code", "ABCD1234"}, {"pollToken", "poll"}, {"expiresAt", "2026-01-01T12:10:00Z"}});
const json emailStart = answerWith({{"challengeId", "c1"}, {"expiresAt", "2026-01-01T12:10:00Z"}});

class ConnectionWindowTest : public InterfaceTest {
 protected:
  // An unpaired, installed Mac with the bundled Codex: the sign-in section shows.
  void signInReady() {
    refreshWith(statusDocument(false));
    window().present();
  }

  void typeEmail(const char* address) {
    auto* field = find<QLineEdit>("email-address");
    field->clear();
    QTest::keyClicks(field, address);
  }

  ui::EmailCodeInput& codeInput() { return *window().emailPage()->codeInput(); }
};

TEST_F(ConnectionWindowTest, FirstOpenBeforeAnySnapshot) {
  window().present();
  EXPECT_EQ(labelText("status-title"), "Checking…");
  EXPECT_EQ(find<QLabel>("status-icon")->property("symbol").toString(), "arrow.triangle.2.circlepath");
  EXPECT_TRUE(shown("check-status-again"));
  for (const char* hidden : {"show-app", "open-background-settings", "continue-cleanup", "recovery-manage",
                             "pair-again", "sign-in-section", "account-block"})
    EXPECT_FALSE(shown(hidden)) << hidden;
  EXPECT_FALSE(enabled("manage-this-mac"));

  // While the first check runs, checking again is not offered.
  script({{"app-status", {{"sleep", 1}, {"stdout", statusDocument(false).dump()}}}});
  model().refresh();
  EXPECT_TRUE(waitUntil([&] { return model().checking(); }));
  EXPECT_FALSE(enabled("check-status-again"));
  EXPECT_TRUE(shown("status-activity"));
  EXPECT_TRUE(waitUntil([&] { return !model().checking(); }));
  EXPECT_TRUE(enabled("manage-this-mac"));
}

TEST_F(ConnectionWindowTest, TheSignInSectionSwitchesBetweenPairingAndEmail) {
  signInReady();
  EXPECT_TRUE(shown("sign-in-section"));
  EXPECT_TRUE(shown("pairing-form"));
  EXPECT_FALSE(shown("email-form"));
  click("method-email");
  EXPECT_TRUE(window().emailLogin());
  EXPECT_TRUE(shown("email-form"));
  EXPECT_FALSE(shown("pairing-form"));
  EXPECT_EQ(find<QLineEdit>("mac-name")->accessibleName(), "Mac Name");

  // The picker is locked while a request runs.
  click("method-iphone");
  script({{"pair-start", {{"sleep", 1}, {"stdout", pairStart["stdout"]}}}});
  click("generate-pairing");
  EXPECT_TRUE(waitUntil([&] { return model().busy(); }));
  EXPECT_FALSE(enabled("method-email"));
  EXPECT_EQ(find<QPushButton>("generate-pairing")->text(), "Generating…");
  EXPECT_TRUE(waitUntil([&] { return !model().busy(); }));
  EXPECT_TRUE(enabled("method-email"));
}

TEST_F(ConnectionWindowTest, ThePairingCodeIsGroupedCopiedWholeAndGivesWayWhenItExpires) {
  signInReady();
  script({{"pair-start", pairStart}});
  click("generate-pairing");
  EXPECT_TRUE(waitUntil([&] { return shown("open-pairing"); }));
  EXPECT_EQ(labelText("pairing-code"), "ABCD 1234");
  EXPECT_EQ(labelText("pairing-expires"), "Expires in 10:00");
  EXPECT_TRUE(shown("pairing-qr-code"));
  EXPECT_FALSE(shown("qr-unavailable"));
  EXPECT_TRUE(shown("pairing-mac-name-fixed"));  // the name is fixed while the request is open
  click("copy-pairing-code");
  EXPECT_EQ(desktop.copied, std::vector<std::string>{"ABCD1234"});
  EXPECT_EQ(labelText("copy-feedback"), "Code Copied");

  // The window's own timer notices the expiry.
  now = uiStart + 10min;
  EXPECT_TRUE(waitUntil([&] { return shown("pairing-expired"); }));
  EXPECT_FALSE(shown("open-pairing"));
  EXPECT_TRUE(shown("generate-new-pairing"));
  find<QPushButton>("copy-pairing-code")->click();  // hidden, and too late: nothing is copied
  EXPECT_EQ(desktop.copied.size(), 1u);
}

TEST_F(ConnectionWindowTest, AFailingQRGeneratorStillShowsTheCode) {
  services.qrImage = [](const std::string&) { return std::optional<QImage>(); };
  signInReady();
  script({{"pair-start", pairStart}});
  click("generate-pairing");
  EXPECT_TRUE(waitUntil([&] { return shown("open-pairing"); }));
  EXPECT_TRUE(shown("qr-unavailable"));
  EXPECT_FALSE(shown("pairing-qr-code"));
  EXPECT_EQ(labelText("pairing-code"), "ABCD 1234");
  EXPECT_TRUE(shown("copy-pairing-code"));
}

TEST(PairingQRCodeTest, TheSymbolIsSharpModulesOfEightPixels) {
  auto image = ui::PairingQRCode::image("ABCD1234");
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width(), image->height());
  EXPECT_EQ(image->width() % ui::PairingQRCode::scale, 0);
  EXPECT_GE(image->width() / ui::PairingQRCode::scale, 21);  // version 1 or above
  // Without smoothing there are only black and white pixels.
  for (int y = 0; y < image->height(); y += 3)
    for (int x = 0; x < image->width(); x += 3) {
      QRgb pixel = image->pixel(x, y);
      EXPECT_TRUE(pixel == qRgb(0, 0, 0) || pixel == qRgb(255, 255, 255));
    }
  // The finder pattern's corner module is dark.
  EXPECT_EQ(image->pixel(0, 0), qRgb(0, 0, 0));
}

TEST_F(ConnectionWindowTest, AnAddressWithoutAtSignCannotBeSent) {
  signInReady();
  click("method-email");
  typeEmail("user.example.com");
  EXPECT_EQ(model().email(), "user.example.com");
  EXPECT_FALSE(enabled("send-verification-code"));
  QTest::keyClick(find<QLineEdit>("email-address"), Qt::Key_Return);
  EXPECT_TRUE(waitUntil([&] { return !model().busy(); }));
  for (const auto& command : commandsRun()) EXPECT_NE(command, "email-start");
  typeEmail("user@example.com");
  EXPECT_TRUE(enabled("send-verification-code"));
}

TEST_F(ConnectionWindowTest, ASentCodeOpensTheCodePageAndTheResendCountdownRuns) {
  signInReady();
  click("method-email");
  typeEmail("user@example.com");
  script({{"pair-start", pairStart}, {"email-start", emailStart}});
  QTest::keyClick(find<QLineEdit>("email-address"), Qt::Key_Return);
  EXPECT_TRUE(waitUntil([&] { return window().showingEmailCode(); }));
  EXPECT_TRUE(shown("email-verification"));
  EXPECT_EQ(labelText("email-heading"), "Check Your Inbox");
  EXPECT_EQ(labelText("email-resend-countdown"), "Resend code in 60s");
  EXPECT_FALSE(shown("resend-code"));

  now = uiStart + 59s + 500ms;
  EXPECT_TRUE(waitUntil([&] { return labelText("email-resend-countdown") == "Resend code in 1s"; }));
  now = uiStart + 60s;
  EXPECT_TRUE(waitUntil([&] { return shown("resend-code"); }));
  EXPECT_FALSE(shown("email-resend-countdown"));

  // Going back forgets the challenge; the form waits out the same minute.
  now = uiStart + 30s;
  click("email-back");
  EXPECT_FALSE(window().showingEmailCode());
  EXPECT_FALSE(model().emailChallenge());
  window().render();
  EXPECT_FALSE(enabled("send-verification-code"));
  EXPECT_EQ(labelText("resend-countdown"), "Resend code in 30s");
  now = uiStart + 60s;
  EXPECT_TRUE(waitUntil([&] { return enabled("send-verification-code"); }));
  EXPECT_FALSE(shown("resend-countdown"));
}

TEST_F(ConnectionWindowTest, TheCodeEntryKeepsSixDigitsAndOutlinesTheNextBox) {
  signInReady();
  click("method-email");
  typeEmail("user@example.com");
  script({{"pair-start", pairStart}, {"email-start", emailStart}});
  click("send-verification-code");
  EXPECT_TRUE(waitUntil([&] { return window().showingEmailCode(); }));
  QLineEdit* entry = codeInput().entry();
  EXPECT_EQ(entry->objectName(), "email-verification-code");
  EXPECT_EQ(entry->accessibleName(), "6-digit code");
  QApplication::setActiveWindow(&window());
  QTest::mouseClick(&codeInput(), Qt::LeftButton, {}, QPoint(codeInput().width() - 10, 20));  // on the last box
  EXPECT_TRUE(waitUntil([&] { return entry->hasFocus(); }));
  EXPECT_EQ(codeInput().outlinedBox(), 0);

  QTest::keyClicks(entry, "1a2-3 4");          // letters and punctuation are dropped
  entry->insert(QString::fromUtf8("\u0665"));  // so is a digit that is not ASCII
  QTest::keyClicks(entry, "5");
  EXPECT_EQ(model().emailCode(), "12345");
  EXPECT_EQ(codeInput().boxText(4), "5");
  EXPECT_EQ(codeInput().boxText(5), " ");
  EXPECT_EQ(codeInput().outlinedBox(), 5);
  EXPECT_FALSE(enabled("email-submit"));
  QTest::keyClicks(entry, "67");
  EXPECT_EQ(model().emailCode(), "123456");
  EXPECT_EQ(codeInput().outlinedBox(), 5);
  EXPECT_TRUE(enabled("email-submit"));

  entry->setText("9 8-7 6-5 4");  // a pasted, spaced code
  EXPECT_EQ(model().emailCode(), "987654");
  EXPECT_EQ(entry->text(), "987654");
}

}  // namespace
}  // namespace corvane::test
