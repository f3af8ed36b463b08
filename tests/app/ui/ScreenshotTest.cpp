// Renders the main pages in both languages to PNG files, so the look can be
// reviewed without a desktop: into CORVANE_SCREENSHOT_DIR when it is set,
// else into a temporary folder that is removed afterwards.

#include <QDir>
#include <QImage>
#include <QLineEdit>
#include <QTest>

#include "app/ui/InterfaceTesting.h"
#include "app/ui/ManageMacSheet.h"

namespace corvane::test {
namespace {

using namespace app;
using nlohmann::json;

class ScreenshotTest : public InterfaceTest, public testing::WithParamInterface<const char*> {
 protected:
  ScreenshotTest() {
    QByteArray chosen = qgetenv("CORVANE_SCREENSHOT_DIR");
    folder = chosen.isEmpty() ? scratch.path() : std::filesystem::path(chosen.toStdString());
    std::filesystem::create_directories(folder);
    previousLanguage = qgetenv("LANGUAGE");
    qputenv("LANGUAGE", GetParam());
  }
  ~ScreenshotTest() override { qputenv("LANGUAGE", previousLanguage); }

  // Saves widget as <name>-<language>.png and checks that something was drawn.
  void capture(QWidget& widget, const std::string& name) {
    QCoreApplication::processEvents();
    QImage image = widget.grab().toImage();
    std::filesystem::path file = folder / (name + "-" + GetParam() + ".png");
    ASSERT_TRUE(image.save(QString::fromStdString(file.string())));
    EXPECT_FALSE(image.isNull());
    EXPECT_GE(image.width(), 400);
  }

  TemporaryDirectory scratch;
  std::filesystem::path folder;
  QByteArray previousLanguage;
};

TEST_P(ScreenshotTest, MainPages) {
  window().present();
  capture(window(), "1-checking");

  refreshWith(statusDocument(false));
  capture(window(), "2-pairing-form");
  script(
      {{"pair-start",
        answerWith({{"id", "p1"}, {"code", "ABCD1234"}, {"pollToken", "poll"}, {"expiresAt", "2026-01-01T12:10:00Z"}})},
       {"email-start", answerWith({{"challengeId", "c1"}, {"expiresAt", "2026-01-01T12:10:00Z"}})}});
  finish(model().createPairing());
  capture(window(), "3-pairing-code");

  find<QPushButton>("method-email")->click();
  find<QLineEdit>("email-address")->setText("user@example.com");
  model().setEmail("user@example.com");
  capture(window(), "4-email-form");
  find<QPushButton>("send-verification-code")->click();
  ASSERT_TRUE(waitUntil([&] { return window().showingEmailCode(); }));
  model().setEmailCode("1234");
  capture(window(), "5-email-code");
  find<QPushButton>("email-back")->click();

  service.current = LoginItemStatus::enabled;
  json online = statusDocument(true, onlineHealth());
  online["email"] = "user@example.com";
  online["logins"] = {{{"id", "l1"},
                       {"verificationUrl", "https://auth.openai.com/codex/device"},
                       {"userCode", "AB12-CD34"},
                       {"expiresAt", "2026-01-01T12:15:00Z"}}};
  refreshWith(online);
  window().resize(520, 900);
  capture(window(), "6-online-authorization");
  window().resize(520, 640);

  model().setShowingManagement(true);
  ASSERT_TRUE(window().managementSheet());
  capture(*window().managementSheet(), "7-manage");
}

INSTANTIATE_TEST_SUITE_P(Languages, ScreenshotTest, testing::Values("en", "zh_CN"));

}  // namespace
}  // namespace corvane::test
