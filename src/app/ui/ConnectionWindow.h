#pragma once

#include <QButtonGroup>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QWidget>

#include <optional>
#include <string>

#include "app/model/AppModel.h"
#include "app/ui/InterfaceServices.h"
#include "app/ui/InterfaceWidgets.h"

namespace corvane::app::ui {

class EmailVerificationPage;
class ManageMacSheet;
class AuthorizationSection;
class RecoveryActions;

// The one window of the tray app: where the user links this computer,
// sees its status, recovers from problems and answers authorisation
// requests. Built once; every model change and every tick of its one
// one-second timer redraws it. Closing it only hides it.
class ConnectionWindow : public QWidget {
  Q_OBJECT

 public:
  ConnectionWindow(AppModel& model, InterfaceServices services, QWidget* parent = nullptr);

  // Shows the window, or brings it forward.
  void present();
  // The note that no system tray is available (the window is then the way in).
  void setTrayMissing(bool missing);

  bool emailLogin() const { return emailLogin_; }
  bool showingEmailCode() const { return showingEmailCode_; }
  void setShowingEmailCode(bool showing);
  const QTimer& ticker() const { return ticker_; }
  EmailVerificationPage* emailPage() const { return emailPage_; }
  // The management sheet while it is open.
  ManageMacSheet* managementSheet() const;

  // Redraws from the model and the clock.
  void render();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void build();
  QWidget* buildContent();
  QWidget* buildSignInSection(QWidget* parent);
  QWidget* buildPairingForm(QWidget* parent);
  QWidget* buildEmailForm(QWidget* parent);
  QWidget* buildAccountBlock(QWidget* parent);
  QWidget* buildBottomBar();
  void renderSignIn(WallTime now);
  void renderPairing(WallTime now);
  void renderEmailForm(WallTime now);
  void renderAccount();
  void renderMacName();
  void renderManagement();
  void copyPairingCode();
  void sendAction();
  void toggleHelp();
  static QCoro::Task<> sendEmail(QPointer<ConnectionWindow> window, AppModel* model);
  std::optional<std::string> message() const;

  AppModel& model_;
  InterfaceServices services_;
  QTimer ticker_;
  bool emailLogin_ = false;
  bool showingEmailCode_ = false;
  bool wasPaired_ = false;
  bool wasSigningOut_ = false;
  std::optional<std::string> shownPairingCode_;
  std::optional<std::string> copyFeedback_;

  QStackedWidget* pages_ = nullptr;
  EmailVerificationPage* emailPage_ = nullptr;
  QLabel* trayNote_ = nullptr;
  QLabel* preview_ = nullptr;
  ConnectionStatusView* status_ = nullptr;
  RecoveryActions* recovery_ = nullptr;
  InlineMessage* message_ = nullptr;

  QWidget* signIn_ = nullptr;
  QPushButton* scanOption_ = nullptr;
  QPushButton* emailOption_ = nullptr;
  QWidget* pairingForm_ = nullptr;
  QWidget* emailForm_ = nullptr;
  // The Mac name, in both forms.
  struct MacName {
    QLabel* fixed = nullptr;
    QLineEdit* field = nullptr;
  };
  MacName pairingName_;
  MacName emailName_;
  QLabel* pairingIntro_ = nullptr;
  QPushButton* generate_ = nullptr;
  QWidget* expiredBlock_ = nullptr;
  QPushButton* generateNew_ = nullptr;
  QWidget* openBlock_ = nullptr;
  QLabel* qrImage_ = nullptr;
  QLabel* qrUnavailable_ = nullptr;
  QLabel* pairingCode_ = nullptr;
  QPushButton* copyCode_ = nullptr;
  QLabel* pairingExpires_ = nullptr;
  QLabel* copyFeedbackLabel_ = nullptr;
  QLineEdit* emailField_ = nullptr;
  InlineMessage* emailMessage_ = nullptr;
  QPushButton* send_ = nullptr;
  QLabel* resend_ = nullptr;

  QWidget* account_ = nullptr;
  QLabel* accountEmail_ = nullptr;
  QLabel* linkState_ = nullptr;
  QWidget* authorizationBlock_ = nullptr;
  AuthorizationSection* authorization_ = nullptr;
  QPushButton* manage_ = nullptr;
  QPushButton* help_ = nullptr;
  QWidget* helpPopover_ = nullptr;
  QPointer<ManageMacSheet> sheet_;
};

}  // namespace corvane::app::ui
