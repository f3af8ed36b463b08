#include "app/ui/ConnectionWindow.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

#include "app/model/ConnectionDates.h"
#include "app/ui/AuthorizationSection.h"
#include "app/ui/BrandAssets.h"
#include "app/ui/EmailVerificationPage.h"
#include "app/ui/ManageMacSheet.h"
#include "app/ui/RecoveryActions.h"
#include "localization/L10n.h"
#include "localization/LegalLinks.h"

namespace corvane::app::ui {
namespace {

QFrame* divider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

QVBoxLayout* column(QWidget* widget, int spacing = 12) {
  auto* layout = new QVBoxLayout(widget);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(spacing);
  return layout;
}

QString escaped(const std::string& text) { return qs(text).toHtmlEscaped(); }

// The code as its first four characters, a space and its last four; a code
// of any other length is shown as it is, so no character is lost or repeated.
QString groupedCode(const std::string& code) {
  QString text = qs(code);
  if (text.size() != 8) return text;
  return text.left(4) + " " + text.right(4);
}

}  // namespace

ConnectionWindow::ConnectionWindow(AppModel& model, InterfaceServices services, QWidget* parent)
    : QWidget(parent), model_(model), services_(std::move(services)) {
  setObjectName("connection");
  resize(520, 640);
  build();
  connect(&model_, &AppModel::changed, this, &ConnectionWindow::render);
  // One timer redraws every countdown and expiry of the window.
  ticker_.setInterval(1000);
  connect(&ticker_, &QTimer::timeout, this, &ConnectionWindow::render);
  ticker_.start();
  render();
}

void ConnectionWindow::present() {
  show();
  if (isMinimized()) showNormal();
  raise();
  activateWindow();
}

void ConnectionWindow::setTrayMissing(bool missing) { showWhen(trayNote_, missing); }

void ConnectionWindow::closeEvent(QCloseEvent* event) {
  // The app lives on in the tray; the window only goes away.
  hide();
  event->ignore();
}

void ConnectionWindow::setShowingEmailCode(bool showing) {
  if (showingEmailCode_ == showing) return;
  showingEmailCode_ = showing;
  // Leaving the code page forgets the challenge, the typed code and the session.
  if (!showing) model_.clearEmail();
  render();
  if (showing) emailPage_->focusCode();
}

void ConnectionWindow::build() {
  auto* root = column(this, 0);
  pages_ = new QStackedWidget(this);
  root->addWidget(pages_);

  auto* main = new QWidget(pages_);
  auto* mainLayout = column(main, 0);
  auto* scroll = new QScrollArea(main);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidget(buildContent());
  mainLayout->addWidget(scroll, 1);
  mainLayout->addWidget(divider(main));
  mainLayout->addWidget(buildBottomBar());
  pages_->addWidget(main);

  emailPage_ = new EmailVerificationPage(model_, services_, pages_);
  connect(emailPage_, &EmailVerificationPage::back, this, [this] { setShowingEmailCode(false); });
  pages_->addWidget(emailPage_);
}

QWidget* ConnectionWindow::buildContent() {
  auto* content = new QWidget;
  content->setObjectName("connection-content");
  auto* layout = column(content, 14);
  layout->setContentsMargins(24, 24, 24, 24);

  trayNote_ = new QLabel(qs(L10n::text("No system tray is available. Closing this window leaves Corvane running; "
                                       "open Corvane again to bring the window back.")),
                         content);
  trayNote_->setObjectName("tray-missing");
  trayNote_->setWordWrap(true);
  trayNote_->setVisible(false);
  layout->addWidget(trayNote_);

  auto* header = new QHBoxLayout;
  header->setSpacing(10);
  auto* mark = new QLabel(content);
  mark->setPixmap(BrandAssets::mark(28, palette().color(QPalette::Highlight)));
  mark->setAccessibleName(QString());
  header->addWidget(mark);
  auto* name = titleLabel(content, "brand-name");
  name->setText(QStringLiteral("Corvane"));
  header->addWidget(name);
  header->addStretch();
  preview_ = caption(content, "preview-badge");
  preview_->setText(qs(L10n::text("Preview")));
  header->addWidget(preview_);
  layout->addLayout(header);

  status_ = new ConnectionStatusView(content);
  layout->addWidget(status_);
  recovery_ = new RecoveryActions(model_, services_, content);
  layout->addWidget(recovery_);
  message_ = new InlineMessage(content, "message-line");
  layout->addWidget(message_);
  signIn_ = buildSignInSection(content);
  layout->addWidget(signIn_);
  account_ = buildAccountBlock(content);
  layout->addWidget(account_);
  authorizationBlock_ = new QWidget(content);
  auto* authorizationLayout = column(authorizationBlock_, 14);
  authorizationLayout->addWidget(divider(authorizationBlock_));
  authorization_ = new AuthorizationSection(model_, services_, authorizationBlock_);
  authorizationLayout->addWidget(authorization_);
  layout->addWidget(authorizationBlock_);
  layout->addStretch();
  return content;
}

QWidget* ConnectionWindow::buildSignInSection(QWidget* parent) {
  auto* section = new QWidget(parent);
  section->setObjectName("sign-in-section");
  auto* layout = column(section, 14);
  layout->addWidget(divider(section));

  auto* picker = new QWidget(section);
  picker->setObjectName("sign-in-method");
  picker->setAccessibleName(qs(L10n::text("Sign-In Method")));
  auto* pickerRow = new QHBoxLayout(picker);
  pickerRow->setContentsMargins(0, 0, 0, 0);
  pickerRow->setSpacing(0);
  auto* group = new QButtonGroup(picker);
  scanOption_ = new QPushButton(qs(L10n::text("Scan with iPhone")), picker);
  scanOption_->setObjectName("method-iphone");
  emailOption_ = new QPushButton(qs(L10n::text("Email Code")), picker);
  emailOption_->setObjectName("method-email");
  for (auto* option : {scanOption_, emailOption_}) {
    option->setCheckable(true);
    group->addButton(option);
    pickerRow->addWidget(option, 1);
  }
  scanOption_->setChecked(true);
  connect(scanOption_, &QPushButton::clicked, this, [this] {
    emailLogin_ = false;
    render();
  });
  connect(emailOption_, &QPushButton::clicked, this, [this] {
    emailLogin_ = true;
    render();
  });
  layout->addWidget(picker);

  pairingForm_ = buildPairingForm(section);
  layout->addWidget(pairingForm_);
  emailForm_ = buildEmailForm(section);
  layout->addWidget(emailForm_);
  layout->addWidget(
      secondary(section, "after-linking",
                qs(L10n::text("After linking this Mac, add a ChatGPT account on your iPhone and authorize it here."))));

  auto* notice = secondary(section, "sign-in-notice");
  QString html;
  for (const auto& run : LegalLinks::signInNotice(platform::preferredLanguages()).runs)
    html += run.link ? QStringLiteral("<a href=\"%1\">%2</a>").arg(escaped(*run.link), escaped(run.text))
                     : escaped(run.text);
  notice->setTextFormat(Qt::RichText);
  notice->setText(html);
  connect(notice, &QLabel::linkActivated, this, [this](const QString& link) {
    if (!model_.isPreview() && services_.desktop) services_.desktop->openURL(link.toStdString());
  });
  layout->addWidget(notice);
  return section;
}

namespace {

void buildMacName(QWidget* parent, QVBoxLayout* layout, const QString& prefix, QLabel*& fixed, QLineEdit*& field) {
  auto* label = new QLabel(qs(L10n::text("Mac Name")), parent);
  layout->addWidget(label);
  fixed = new QLabel(parent);
  fixed->setObjectName(prefix + "mac-name-fixed");
  fixed->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(fixed);
  field = new QLineEdit(parent);
  // Only one of the two forms shows at a time; both answer to "mac-name".
  field->setObjectName("mac-name");
  field->setAccessibleName(qs(L10n::text("Mac Name")));
  label->setBuddy(field);
  layout->addWidget(field);
}

}  // namespace

QWidget* ConnectionWindow::buildPairingForm(QWidget* parent) {
  auto* form = new QWidget(parent);
  form->setObjectName("pairing-form");
  auto* layout = column(form, 10);
  auto* title = headline(form, "pairing-title");
  title->setText(qs(L10n::text("Sign In with iPhone")));
  layout->addWidget(title);
  buildMacName(form, layout, "pairing-", pairingName_.fixed, pairingName_.field);

  pairingIntro_ =
      secondary(form, "pairing-intro",
                qs(L10n::text("Scan with your signed-in Corvane app and confirm the email and Mac name. This also "
                              "links the Mac and starts its background service.")));
  layout->addWidget(pairingIntro_);
  generate_ = prominent(new QPushButton(form));
  generate_->setObjectName("generate-pairing");
  layout->addWidget(generate_, 0, Qt::AlignLeft);

  expiredBlock_ = new QWidget(form);
  auto* expiredLayout = column(expiredBlock_, 10);
  expiredLayout->addWidget(secondary(expiredBlock_, "pairing-expired",
                                     qs(L10n::text("The pairing code has expired. Generate a new QR code."))));
  generateNew_ = prominent(new QPushButton(qs(L10n::text("Generate New Pairing Code")), expiredBlock_));
  generateNew_->setObjectName("generate-new-pairing");
  expiredLayout->addWidget(generateNew_, 0, Qt::AlignLeft);
  layout->addWidget(expiredBlock_);

  openBlock_ = new QWidget(form);
  openBlock_->setObjectName("open-pairing");
  auto* openLayout = column(openBlock_, 10);
  auto* sideBySide = new QHBoxLayout;
  sideBySide->setSpacing(16);
  qrImage_ = new QLabel(openBlock_);
  qrImage_->setObjectName("pairing-qr-code");
  qrImage_->setAccessibleName(qs(L10n::text("Pairing QR Code")));
  qrImage_->setFixedSize(156, 156);
  qrImage_->setAlignment(Qt::AlignCenter);
  qrImage_->setStyleSheet("background: white;");
  sideBySide->addWidget(qrImage_, 0, Qt::AlignTop);
  qrUnavailable_ =
      new QLabel(qs(L10n::text("QR code unavailable. Enter the pairing code on your iPhone.")), openBlock_);
  qrUnavailable_->setObjectName("qr-unavailable");
  qrUnavailable_->setWordWrap(true);
  qrUnavailable_->setAlignment(Qt::AlignCenter);
  qrUnavailable_->setFixedSize(140, 140);
  sideBySide->addWidget(qrUnavailable_, 0, Qt::AlignTop);

  auto* codeBlock = new QVBoxLayout;
  codeBlock->setSpacing(6);
  auto* scanTitle = headline(openBlock_, "scan-title");
  scanTitle->setText(qs(L10n::text("Scan with Corvane on iPhone")));
  codeBlock->addWidget(scanTitle);
  codeBlock->addWidget(
      secondary(openBlock_, "scan-path", qs(L10n::text("Add Account or Mac Devices → Scan to Connect"))));
  auto* enter = caption(openBlock_, "enter-code");
  enter->setText(qs(L10n::text("Or enter the pairing code")));
  codeBlock->addWidget(enter);
  auto* codeRow = new QHBoxLayout;
  codeRow->setSpacing(8);
  pairingCode_ = new QLabel(openBlock_);
  pairingCode_->setObjectName("pairing-code");
  QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  fixed.setPixelSize(20);
  fixed.setWeight(QFont::DemiBold);
  pairingCode_->setFont(fixed);
  pairingCode_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  codeRow->addWidget(pairingCode_);
  copyCode_ = new QPushButton(symbolIcon("doc.on.doc"), QString(), openBlock_);
  copyCode_->setObjectName("copy-pairing-code");
  copyCode_->setToolTip(qs(L10n::text("Copy Pairing Code")));
  copyCode_->setAccessibleName(qs(L10n::text("Copy Pairing Code")));
  codeRow->addWidget(copyCode_);
  codeRow->addStretch();
  codeBlock->addLayout(codeRow);
  pairingExpires_ = caption(openBlock_, "pairing-expires");
  pairingExpires_->setFont([&] {
    QFont digits = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    digits.setPointSizeF(pairingExpires_->font().pointSizeF());
    return digits;
  }());
  codeBlock->addWidget(pairingExpires_);
  codeBlock->addStretch();
  sideBySide->addLayout(codeBlock, 1);
  openLayout->addLayout(sideBySide);

  auto* waitingRow = new QHBoxLayout;
  auto* phone = new QLabel(openBlock_);
  phone->setPixmap(symbolIcon("iphone").pixmap(16, 16));
  waitingRow->addWidget(phone);
  waitingRow->addWidget(
      secondary(openBlock_, "waiting-for-iphone", qs(L10n::text("Waiting for iPhone to Confirm This Mac"))), 1);
  openLayout->addLayout(waitingRow);
  copyFeedbackLabel_ = caption(openBlock_, "copy-feedback");
  openLayout->addWidget(copyFeedbackLabel_);
  layout->addWidget(openBlock_);

  auto connectName = [this](QLineEdit* field) {
    connect(field, &QLineEdit::textEdited, this,
            [this](const QString& text) { model_.setDeviceName(text.toStdString()); });
  };
  connectName(pairingName_.field);
  connect(generate_, &QPushButton::clicked, this, [this] { model_.createPairing(); });
  connect(generateNew_, &QPushButton::clicked, this, [this] { model_.createPairing(); });
  connect(copyCode_, &QPushButton::clicked, this, &ConnectionWindow::copyPairingCode);
  return form;
}

QWidget* ConnectionWindow::buildEmailForm(QWidget* parent) {
  auto* form = new QWidget(parent);
  form->setObjectName("email-form");
  auto* layout = column(form, 10);
  auto* title = headline(form, "email-title");
  title->setText(qs(L10n::text("Sign In with Email")));
  layout->addWidget(title);
  buildMacName(form, layout, "email-", emailName_.fixed, emailName_.field);
  connect(emailName_.field, &QLineEdit::textEdited, this,
          [this](const QString& text) { model_.setDeviceName(text.toStdString()); });

  auto* label = new QLabel(qs(L10n::text("Email Address")), form);
  layout->addWidget(label);
  emailField_ = new QLineEdit(form);
  emailField_->setObjectName("email-address");
  emailField_->setAccessibleName(qs(L10n::text("Email Address")));
  label->setBuddy(emailField_);
  layout->addWidget(emailField_);
  connect(emailField_, &QLineEdit::textEdited, this,
          [this](const QString& text) { model_.setEmail(text.toStdString()); });
  connect(emailField_, &QLineEdit::returnPressed, this, &ConnectionWindow::sendAction);

  emailMessage_ = new InlineMessage(form, "email-message");
  layout->addWidget(emailMessage_);
  send_ = prominent(new QPushButton(form));
  send_->setObjectName("send-verification-code");
  layout->addWidget(send_, 0, Qt::AlignLeft);
  connect(send_, &QPushButton::clicked, this, &ConnectionWindow::sendAction);
  resend_ = secondary(form, "resend-countdown");
  resend_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  layout->addWidget(resend_);
  return form;
}

QWidget* ConnectionWindow::buildAccountBlock(QWidget* parent) {
  auto* block = new QWidget(parent);
  block->setObjectName("account-block");
  auto* layout = column(block, 8);
  layout->addWidget(divider(block));
  auto* title = headline(block, "account-title");
  title->setText(qs(L10n::text("Corvane Account")));
  layout->addWidget(title);
  accountEmail_ = new QLabel(block);
  accountEmail_->setObjectName("account-email");
  accountEmail_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(accountEmail_);
  auto* row = new QHBoxLayout;
  auto* icon = new QLabel(block);
  icon->setPixmap(symbolIcon("laptopcomputer").pixmap(16, 16));
  row->addWidget(icon);
  linkState_ = secondary(block, "link-state");
  row->addWidget(linkState_, 1);
  layout->addLayout(row);
  return block;
}

QWidget* ConnectionWindow::buildBottomBar() {
  auto* bar = new QWidget;
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(12, 12, 12, 12);
  manage_ = new QPushButton(symbolIcon("gearshape"), qs(L10n::text("Manage This Mac…")), bar);
  manage_->setObjectName("manage-this-mac");
  connect(manage_, &QPushButton::clicked, this, [this] { model_.setShowingManagement(true); });
  row->addWidget(manage_);
  row->addStretch();
  auto* help = new QToolButton(bar);
  help->setObjectName("help");
  help->setIcon(symbolIcon("questionmark.circle"));
  help->setIconSize(QSize(20, 20));
  help->setAutoRaise(true);
  help->setToolTip(qs(L10n::text("Help")));
  help->setAccessibleName(qs(L10n::text("Help")));
  connect(help, &QToolButton::clicked, this, &ConnectionWindow::toggleHelp);
  row->addWidget(help);
  return bar;
}

void ConnectionWindow::toggleHelp() {
  if (helpPopover_ && helpPopover_->isVisible()) {
    helpPopover_->hide();
    return;
  }
  if (!helpPopover_) {
    helpPopover_ = new QFrame(this, Qt::Popup);
    helpPopover_->setObjectName("help-popover");
    helpPopover_->setFixedWidth(320);
    auto* layout = new QVBoxLayout(helpPopover_);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(8);
    for (const QString& text :
         {qs(L10n::text("The background service can keep running after you close this window.")),
          qs(L10n::text("Your Mac must stay powered on, signed in, and online. Tasks cannot run during sleep."))}) {
      auto* label = new QLabel(text, helpPopover_);
      label->setWordWrap(true);
      layout->addWidget(label);
    }
    auto* links = new QHBoxLayout;
    links->setSpacing(16);
    auto preferences = platform::preferredLanguages();
    for (const auto& [text, url] : {std::pair{L10n::text("Terms of Service"), LegalLinks::terms(preferences)},
                                    std::pair{L10n::text("Privacy Policy"), LegalLinks::privacy(preferences)}}) {
      auto* link = new QLabel(QStringLiteral("<a href=\"%1\">%2</a>").arg(escaped(url), escaped(text)), helpPopover_);
      connect(link, &QLabel::linkActivated, this, [this](const QString& address) {
        if (services_.desktop) services_.desktop->openURL(address.toStdString());
      });
      links->addWidget(link);
    }
    links->addStretch();
    layout->addLayout(links);
  }
  helpPopover_->adjustSize();
  QWidget* button = findChild<QWidget*>("help");
  QPoint corner = button->mapToGlobal(QPoint(button->width(), 0));
  helpPopover_->move(corner.x() - helpPopover_->width(), corner.y() - helpPopover_->height() - 4);
  helpPopover_->show();
}

std::optional<std::string> ConnectionWindow::message() const {
  if (model_.error()) return model_.error();
  return model_.statusError();
}

void ConnectionWindow::render() {
  WallTime now = services_.clock();
  setWindowTitle(displayName(model_));
  bool paired = model_.snapshot() && model_.snapshot()->paired;
  if (paired && !wasPaired_) setShowingEmailCode(false);
  wasPaired_ = paired;
  if (model_.signingOut() && !wasSigningOut_ && model_.showingManagement()) model_.setShowingManagement(false);
  wasSigningOut_ = model_.signingOut();

  pages_->setCurrentWidget(showingEmailCode_ ? static_cast<QWidget*>(emailPage_) : pages_->widget(0));
  if (showingEmailCode_) emailPage_->render(now);

  showWhen(preview_, model_.isStaging());
  ConnectionState state = model_.state();
  status_->show(state, model_.statusDetail(), heartbeatOf(model_), model_.busy() || model_.checking());
  showWhen(recovery_, state != ConnectionState::online && state != ConnectionState::signIn);
  recovery_->render();

  bool emailFormShowsMessage = model_.snapshot() && !paired && emailLogin_ && model_.statusIsCurrent();
  message_->show(emailFormShowsMessage ? std::nullopt : message());
  renderSignIn(now);
  renderAccount();
  showWhen(authorizationBlock_, model_.signedIn());
  if (model_.signedIn()) authorization_->render(now);
  manage_->setEnabled(model_.snapshot().has_value());
  renderManagement();
}

ManageMacSheet* ConnectionWindow::managementSheet() const { return sheet_; }

void ConnectionWindow::renderManagement() {
  if (model_.showingManagement() && !sheet_) {
    sheet_ = new ManageMacSheet(model_, services_, this);
    sheet_->setAttribute(Qt::WA_DeleteOnClose);
    // However the sheet closes (Done, Escape, the title bar), the flag follows.
    connect(sheet_, &QDialog::finished, this, [this] {
      if (model_.showingManagement()) model_.setShowingManagement(false);
    });
    sheet_->open();
  } else if (!model_.showingManagement() && sheet_) {
    sheet_->close();
  }
}

void ConnectionWindow::renderMacName() {
  bool fixed = model_.pairing().has_value();
  for (MacName* name : {&pairingName_, &emailName_}) {
    setText(name->fixed, qs(model_.deviceName()));
    showWhen(name->fixed, fixed);
    showWhen(name->field, !fixed);
    if (name->field->text() != qs(model_.deviceName())) name->field->setText(qs(model_.deviceName()));
    name->field->setEnabled(!model_.busy());
  }
}

void ConnectionWindow::renderSignIn(WallTime now) {
  const auto& snapshot = model_.snapshot();
  bool shown = model_.isInstalled() && model_.statusIsCurrent() && snapshot && snapshot->codexAvailable &&
               !snapshot->paired && !model_.signingOut();
  showWhen(signIn_, shown);
  if (!shown) return;
  scanOption_->setChecked(!emailLogin_);
  emailOption_->setChecked(emailLogin_);
  scanOption_->setEnabled(!model_.busy());
  emailOption_->setEnabled(!model_.busy());
  showWhen(pairingForm_, !emailLogin_);
  showWhen(emailForm_, emailLogin_);
  renderMacName();
  if (emailLogin_)
    renderEmailForm(now);
  else
    renderPairing(now);
}

void ConnectionWindow::renderPairing(WallTime now) {
  const auto& pairing = model_.pairing();
  std::optional<std::string> code = pairing ? std::optional(pairing->code) : std::nullopt;
  if (code != shownPairingCode_) {
    shownPairingCode_ = code;
    copyFeedback_.reset();
    if (code) {
      std::optional<QImage> image = services_.qrImage ? services_.qrImage(*code) : std::nullopt;
      if (image)
        qrImage_->setPixmap(QPixmap::fromImage(image->scaled(140, 140, Qt::IgnoreAspectRatio, Qt::FastTransformation)));
      else
        qrImage_->clear();
      qrImage_->setProperty("hasImage", image.has_value());
    }
  }
  showWhen(pairingIntro_, !pairing);
  showWhen(generate_, !pairing);
  generate_->setText(qs(model_.busy() ? L10n::text("Generating…") : L10n::text("Generate Pairing QR Code")));
  generate_->setEnabled(!model_.busy());
  bool expired = pairing && parseTimestamp(pairing->expiresAt).value_or(distantPast) <= now;
  showWhen(expiredBlock_, pairing && expired);
  generateNew_->setEnabled(!model_.busy());
  showWhen(openBlock_, pairing && !expired);
  if (!pairing || expired) return;
  bool hasImage = qrImage_->property("hasImage").toBool();
  showWhen(qrImage_, hasImage);
  showWhen(qrUnavailable_, !hasImage);
  setText(pairingCode_, groupedCode(pairing->code));
  setText(pairingExpires_,
          qs(L10n::text("Expires in %1$@", ConnectionDates::remaining(parseTimestamp(pairing->expiresAt), now))));
  setText(copyFeedbackLabel_, copyFeedback_ ? qs(*copyFeedback_) : QString());
  showWhen(copyFeedbackLabel_, copyFeedback_.has_value());
}

void ConnectionWindow::copyPairingCode() {
  const auto& pairing = model_.pairing();
  if (!pairing || parseTimestamp(pairing->expiresAt).value_or(distantPast) <= services_.clock()) return;
  bool copied = !model_.isPreview() && services_.desktop && services_.desktop->copyToPasteboard(pairing->code);
  copyFeedback_ = copied ? L10n::text("Code Copied") : L10n::text("Could Not Copy Code");
  render();
}

namespace {

// Whole seconds until then, rounded up; 0 once it has passed.
long long secondsUntil(WallTime then, WallTime now) {
  if (then <= now) return 0;
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(then - now).count();
  return (micros + 999999) / 1000000;
}

}  // namespace

void ConnectionWindow::renderEmailForm(WallTime now) {
  if (emailField_->text() != qs(model_.email())) emailField_->setText(qs(model_.email()));
  emailField_->setEnabled(!model_.busy());
  emailMessage_->show(message());
  bool waiting = now < model_.emailResendAvailableAt();
  send_->setText(qs(model_.busy() ? L10n::text("Sending…") : L10n::text("Send Verification Code")));
  send_->setEnabled(!waiting && !model_.busy() && model_.email().find('@') != std::string::npos);
  showWhen(resend_, waiting);
  if (waiting)
    setText(resend_,
            qs(L10n::text("Resend code in %1$@s", std::to_string(secondsUntil(model_.emailResendAvailableAt(), now)))));
}

void ConnectionWindow::sendAction() {
  if (model_.busy() || model_.email().find('@') == std::string::npos ||
      services_.clock() < model_.emailResendAvailableAt())
    return;
  sendEmail(QPointer<ConnectionWindow>(this), &model_);
}

QCoro::Task<> ConnectionWindow::sendEmail(QPointer<ConnectionWindow> window, AppModel* model) {
  model->clearEmail();
  co_await model->sendEmailCode();
  if (window && model->emailChallenge()) window->setShowingEmailCode(true);
}

void ConnectionWindow::renderAccount() {
  const auto& snapshot = model_.snapshot();
  bool shown = snapshot && snapshot->paired;
  showWhen(account_, shown);
  if (!shown) return;
  setText(accountEmail_, snapshot->email ? qs(*snapshot->email) : qs(L10n::text("Account details unavailable")));
  setText(linkState_, qs(model_.signingOut() || model_.revoked() ? L10n::text("This Mac is being unlinked")
                                                                 : L10n::text("This Mac is linked")));
}

}  // namespace corvane::app::ui
