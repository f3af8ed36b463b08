#include <QMessageBox>
#include <QPlainTextEdit>

#include "app/ui/InterfaceTesting.h"
#include "app/ui/ManageMacSheet.h"

namespace corvane::test {
namespace {

using namespace app;
using nlohmann::json;

class ManageMacSheetTest : public InterfaceTest {
 protected:
  // A paired, signed-in Mac whose service runs, with the sheet open.
  ui::ManageMacSheet& openSheet(const json& document = statusDocument(true, onlineHealth())) {
    service.current = LoginItemStatus::enabled;
    refreshWith(document);
    window().present();
    model().setShowingManagement(true);
    ui::ManageMacSheet* sheet = window().managementSheet();
    EXPECT_TRUE(sheet && sheet->isVisible());
    return *sheet;
  }

  template <typename T = QWidget>
  T* in(QWidget& parent, const char* name) {
    T* found = parent.findChild<T*>(QString::fromLatin1(name));
    EXPECT_TRUE(found) << name;
    return found;
  }
  bool visibleIn(QWidget& parent, const char* name) {
    QWidget* widget = in(parent, name);
    return widget && widget->isVisibleTo(&parent);
  }
  // The confirmation that is open, answered with the named button.
  void answer(QWidget& sheet, const char* confirmation, const char* button) {
    QMessageBox* open = nullptr;
    for (auto* box : sheet.findChildren<QMessageBox*>(QString::fromLatin1(confirmation)))
      if (box->isVisible()) open = box;
    ASSERT_TRUE(open) << confirmation;
    in<QPushButton>(*open, button)->click();
  }
};

TEST_F(ManageMacSheetTest, StoppingAsksFirstAndThenOffersToStartAgain) {
  auto& sheet = openSheet();
  EXPECT_TRUE(visibleIn(sheet, "stop-service"));
  EXPECT_FALSE(visibleIn(sheet, "start-service"));
  in<QPushButton>(sheet, "stop-service")->click();
  auto* box = in<QMessageBox>(sheet, "confirm-stop");
  ASSERT_TRUE(box);
  EXPECT_EQ(box->windowTitle(), "Stop Background Service?");
  answer(sheet, "confirm-stop", "confirm-cancel");
  EXPECT_TRUE(service.calls.empty());

  in<QPushButton>(sheet, "stop-service")->click();
  answer(sheet, "confirm-stop", "confirm-destructive");
  EXPECT_TRUE(waitUntil([&] { return !service.calls.empty() && !model().busy() && !model().checking(); }));
  EXPECT_EQ(service.calls, std::vector<std::string>{"unregister"});
  EXPECT_TRUE(visibleIn(sheet, "start-service"));
  EXPECT_FALSE(visibleIn(sheet, "stop-service"));
  EXPECT_TRUE(window().managementSheet());  // the sheet stays open after a stop
}

TEST_F(ManageMacSheetTest, ConfirmingTheSignOutClosesTheSheet) {
  auto& sheet = openSheet();
  json signingOut = statusDocument(true, onlineHealth());
  signingOut["signOutPending"] = true;
  script({{"sign-out", answerWith(json::object())}, {"app-status", answerWith(signingOut)}});
  in<QPushButton>(sheet, "sign-out")->click();
  EXPECT_EQ(in<QMessageBox>(sheet, "confirm-sign-out")->windowTitle(), "Sign Out of This Mac?");
  answer(sheet, "confirm-sign-out", "confirm-destructive");
  EXPECT_TRUE(waitUntil([&] { return model().signingOut(); }));
  EXPECT_TRUE(waitUntil([&] { return !window().managementSheet(); }));
  EXPECT_FALSE(model().showingManagement());
}

TEST_F(ManageMacSheetTest, ARevokedMacGetsTheRecoveryActionsAndNoSignOut) {
  json health = onlineHealth();
  health["deviceRevoked"] = true;
  health["rePairReady"] = true;
  auto& sheet = openSheet(statusDocument(true, health));
  ASSERT_TRUE(model().revoked());
  EXPECT_FALSE(visibleIn(sheet, "stop-service"));
  EXPECT_FALSE(visibleIn(sheet, "start-service"));
  EXPECT_TRUE(visibleIn(sheet, "recovery-actions"));
  EXPECT_TRUE(visibleIn(sheet, "pair-again"));
  EXPECT_TRUE(visibleIn(sheet, "check-status-again"));
  EXPECT_FALSE(visibleIn(sheet, "sign-out"));
}

TEST_F(ManageMacSheetTest, DoneClosesTheSheetAndClearsTheFlag) {
  auto& sheet = openSheet();
  in<QPushButton>(sheet, "manage-done")->click();
  EXPECT_FALSE(model().showingManagement());
  EXPECT_TRUE(waitUntil([&] { return !window().managementSheet(); }));
}

TEST_F(ManageMacSheetTest, TheReportCounterAllowsAThousandUnitsAndKeepsAFailedReport) {
  auto& sheet = openSheet();
  in<QPushButton>(sheet, "report-a-problem")->click();
  auto* dialog = in<ui::ReportProblemDialog>(sheet, "report-problem");
  ASSERT_TRUE(dialog);
  auto* description = in<QPlainTextEdit>(*dialog, "report-description");
  auto* counter = in<QLabel>(*dialog, "report-counter");
  auto* send = in<QPushButton>(*dialog, "send-report");

  struct Case {
    QString text;
    const char* counted;
    bool over;
  } cases[] = {
      {QString(1000, 'a'), "1000 / 1000", false},
      {QString(999, 'a') + QString::fromUtf8("😀"), "1001 / 1000", true},  // an emoji is two units
  };
  for (const auto& c : cases) {
    description->setPlainText(c.text);
    EXPECT_EQ(counter->text(), c.counted);
    EXPECT_EQ(counter->property("over").toBool(), c.over);
    EXPECT_EQ(send->isEnabled(), !c.over);
  }

  description->setPlainText("It stopped");
  script({{"support-report", {{"stderr", "Corvane: failed"}, {"exit", 2}}}});
  send->click();
  auto* error = in<QLabel>(*dialog, "report-error");
  EXPECT_TRUE(waitUntil([&] { return error->isVisibleTo(dialog); }));
  EXPECT_EQ(error->text(), "Could not prepare the report. You can export diagnostics instead.");
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(description->toPlainText(), "It stopped");

  script({{"support-report", answerWith({{"enabled", true}, {"pendingCount", 0}, {"reportStatus", "pending"}})}});
  send->click();
  EXPECT_TRUE(waitUntil([&] { return !sheet.findChild<ui::ReportProblemDialog*>("report-problem"); }));
  in<QAbstractButton>(sheet, "diagnostics-disclosure")->click();
  EXPECT_TRUE(visibleIn(sheet, "report-status"));
  EXPECT_EQ(in<QLabel>(sheet, "report-status")->text(),
            "Report saved on this Mac. It will retry while Corvane runs and the connection is available, for up to 7 "
            "days.");
  EXPECT_FALSE(visibleIn(sheet, "report-id"));

  // The next snapshot carries the delivered report and its support number.
  json submitted = statusDocument(true, onlineHealth());
  submitted["supportDiagnostics"] = {
      {"enabled", true}, {"pendingCount", 0}, {"reportStatus", "submitted"}, {"reportId", "R-123"}};
  refreshWith(submitted);
  EXPECT_EQ(in<QLabel>(sheet, "report-status")->text(), "Report submitted. Share this support number with us:");
  EXPECT_EQ(in<QLabel>(sheet, "report-id")->text(), "R-123");
}

TEST_F(ManageMacSheetTest, TheVersionLineShowsADashForAMissingValue) {
  bundle.buildVersion.reset();
  EXPECT_EQ(ui::versionLine(model()), "Corvane Staging 1.2.3 (-)");
  bundle.buildChannel = "production";
  bundle.buildVersion = "45";
  bundle.shortVersion.reset();
  model_.reset();
  EXPECT_EQ(ui::versionLine(model()), "Corvane - (45)");
}

TEST_F(ManageMacSheetTest, BeforeAnySnapshotTheDiagnosticsSwitchShowsOnButIsLocked) {
  window().present();
  model().setShowingManagement(true);
  auto& sheet = *window().managementSheet();
  auto* automatic = in<QCheckBox>(sheet, "automatic-diagnostics");
  EXPECT_TRUE(automatic->isChecked());
  EXPECT_FALSE(automatic->isEnabled());
  EXPECT_FALSE(in<QPushButton>(sheet, "report-a-problem")->isEnabled());
  EXPECT_TRUE(in<QPushButton>(sheet, "export-diagnostics")->isEnabled());
  EXPECT_EQ(in<QLabel>(sheet, "manage-email")->text(), "Not Signed In");
  EXPECT_EQ(in<QLabel>(sheet, "latest-codex-error")->text(), "No recent Codex errors recorded.");
  EXPECT_EQ(in<QLabel>(sheet, "version-line")->text(), "Corvane Staging 1.2.3 (45)");
  EXPECT_FALSE(visibleIn(sheet, "sign-out"));
  EXPECT_FALSE(visibleIn(sheet, "update-settings"));  // a staging build without an updater has no updates
}

}  // namespace
}  // namespace corvane::test
