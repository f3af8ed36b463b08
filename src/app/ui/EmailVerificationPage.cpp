#include "app/ui/EmailVerificationPage.h"

#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPointer>
#include <QScrollArea>
#include <QVBoxLayout>

#include "app/ui/BrandAssets.h"
#include "localization/L10n.h"

namespace corvane::app::ui {
namespace {

long long secondsUntil(WallTime then, WallTime now) {
  if (then <= now) return 0;
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(then - now).count();
  return (micros + 999999) / 1000000;
}

}  // namespace

EmailCodeInput::EmailCodeInput(QWidget* parent) : QWidget(parent) {
  setObjectName("email-code-boxes");
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(8);
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPixelSize(24);
  font.setWeight(QFont::Medium);
  for (auto& box : boxes_) {
    box = new QLabel(this);
    box->setAlignment(Qt::AlignCenter);
    box->setMinimumHeight(52);
    box->setFont(font);
    box->setAttribute(Qt::WA_TransparentForMouseEvents);
    row->addWidget(box, 1);
  }
  // The entry is a single clear pixel: it takes the typing, paste and input
  // methods while the boxes show the code; a click on the row focuses it.
  entry_ = new QLineEdit(this);
  entry_->setObjectName("email-verification-code");
  entry_->setAccessibleName(qs(L10n::text("6-digit code")));
  entry_->setFrame(false);
  entry_->setStyleSheet(
      "QLineEdit { background: transparent; color: transparent; selection-background-color: "
      "transparent; selection-color: transparent; }");
  entry_->setContextMenuPolicy(Qt::NoContextMenu);
  entry_->installEventFilter(this);
  connect(entry_, &QLineEdit::textChanged, this, [this](const QString& text) {
    std::string code = filtered(text);
    if (qs(code) != text) {
      entry_->setText(qs(code));
      return;
    }
    paintBoxes();
    emit codeEdited(code);
  });
  connect(entry_, &QLineEdit::returnPressed, this, &EmailCodeInput::submitted);
  paintBoxes();
}

std::string EmailCodeInput::filtered(const QString& text) {
  std::string digits;
  for (QChar character : text) {
    if (character >= '0' && character <= '9') digits += static_cast<char>(character.unicode());
    if (digits.size() == 6) break;
  }
  return digits;
}

void EmailCodeInput::setCode(const std::string& code) {
  if (entry_->text() != qs(code)) entry_->setText(qs(code));
}

int EmailCodeInput::outlinedBox() const {
  if (!entry_->hasFocus()) return -1;
  return std::min<int>(static_cast<int>(entry_->text().size()), 5);
}

bool EmailCodeInput::eventFilter(QObject* watched, QEvent* event) {
  if (watched == entry_ && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)) paintBoxes();
  return QWidget::eventFilter(watched, event);
}

void EmailCodeInput::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  entry_->setGeometry(0, 0, 1, 1);
  entry_->lower();
}

void EmailCodeInput::mousePressEvent(QMouseEvent* event) {
  entry_->setFocus(Qt::MouseFocusReason);
  event->accept();
}

void EmailCodeInput::paintBoxes() {
  QString text = entry_->text();
  int outlined = outlinedBox();
  QColor accent = palette().color(QPalette::Highlight);
  QColor quiet = palette().color(QPalette::PlaceholderText);
  quiet.setAlphaF(0.4);
  for (int i = 0; i < 6; ++i) {
    boxes_[i]->setText(i < text.size() ? QString(text[i]) : QStringLiteral(" "));
    QColor line = i == outlined ? accent : quiet;
    boxes_[i]->setStyleSheet(QStringLiteral("QLabel { background: palette(base); color: palette(text); border-radius: "
                                            "6px; border: %1px solid %2; }")
                                 .arg(i == outlined ? 2 : 1)
                                 .arg(line.name(QColor::HexArgb)));
    boxes_[i]->setProperty("outlined", i == outlined);
  }
}

EmailVerificationPage::EmailVerificationPage(AppModel& model, const InterfaceServices& services, QWidget* parent)
    : QWidget(parent), model_(model), services_(services) {
  setObjectName("email-verification");
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* bar = new QHBoxLayout;
  bar->setContentsMargins(12, 8, 12, 0);
  back_ = new QPushButton(QStringLiteral("‹ ") + qs(L10n::text("Back")), this);
  back_->setObjectName("email-back");
  back_->setFlat(true);
  connect(back_, &QPushButton::clicked, this, &EmailVerificationPage::back);
  bar->addWidget(back_);
  bar->addStretch();
  auto* pageTitle = headline(this, "email-page-title");
  pageTitle->setText(qs(L10n::text("Verification Code")));
  bar->addWidget(pageTitle);
  bar->addStretch();
  outer->addLayout(bar);

  auto* scroll = new QScrollArea(this);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  auto* content = new QWidget;
  auto* layout = new QVBoxLayout(content);
  layout->setContentsMargins(24, 24, 24, 24);
  layout->setSpacing(14);
  auto* headingRow = new QHBoxLayout;
  headingIcon_ = new QLabel(content);
  headingRow->addWidget(headingIcon_);
  heading_ = titleLabel(content, "email-heading");
  headingRow->addWidget(heading_, 1);
  layout->addLayout(headingRow);
  email_ = headline(content, "email-shown");
  email_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(email_);
  verified_ =
      secondary(content, "email-verified",
                qs(L10n::text("Your email is verified. Continue linking this Mac without requesting another code.")));
  layout->addWidget(verified_);
  enterCode_ = secondary(content, "enter-email-code", qs(L10n::text("Enter the 6-digit code sent to your email.")));
  layout->addWidget(enterCode_);
  code_ = new EmailCodeInput(content);
  connect(code_, &EmailCodeInput::codeEdited, this, [this](const std::string& code) {
    if (code != model_.emailCode()) model_.setEmailCode(code);
  });
  connect(code_, &EmailCodeInput::submitted, this, &EmailVerificationPage::submit);
  layout->addWidget(code_);
  message_ = new InlineMessage(content, "email-page-message");
  layout->addWidget(message_);
  expired_ = new InlineMessage(content, "email-code-expired");
  layout->addWidget(expired_);
  main_ = prominent(new QPushButton(content));
  main_->setObjectName("email-submit");
  connect(main_, &QPushButton::clicked, this, &EmailVerificationPage::submit);
  layout->addWidget(main_);
  resendRow_ = new QWidget(content);
  resendRow_->setFixedHeight(28);
  auto* resendLayout = new QHBoxLayout(resendRow_);
  resendLayout->setContentsMargins(0, 0, 0, 0);
  resend_ = new QPushButton(qs(L10n::text("Resend Code")), resendRow_);
  resend_->setObjectName("resend-code");
  connect(resend_, &QPushButton::clicked, this, [this] { resend(QPointer<EmailVerificationPage>(this), &model_); });
  resendLayout->addWidget(resend_);
  countdown_ = secondary(resendRow_, "email-resend-countdown");
  countdown_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  resendLayout->addWidget(countdown_);
  resendLayout->addStretch();
  layout->addWidget(resendRow_);
  layout->addStretch();
  scroll->setWidget(content);
  outer->addWidget(scroll, 1);
}

void EmailVerificationPage::focusCode() {
  if (code_->isVisibleTo(this)) code_->entry()->setFocus(Qt::OtherFocusReason);
}

void EmailVerificationPage::render(WallTime now) {
  bool session = model_.emailSession().has_value();
  bool busy = model_.busy();
  showWhen(back_, !busy);
  headingIcon_->setPixmap(symbolIcon(session ? "checkmark.circle" : "envelope").pixmap(22, 22));
  setText(heading_, qs(session ? L10n::text("Email Verified") : L10n::text("Check Your Inbox")));
  setText(email_, qs(model_.email()));
  showWhen(verified_, session);
  showWhen(enterCode_, !session);
  showWhen(code_, !session);
  code_->setCode(model_.emailCode());
  code_->setEnabled(!busy);
  message_->show(model_.error() ? model_.error() : model_.statusError());

  const auto& challenge = model_.emailChallenge();
  bool expired = challenge && parseTimestamp(challenge->expiresAt).value_or(distantPast) <= now;
  expired_->show(expired && !session
                     ? std::optional(L10n::text("This verification code has expired. Request a new code."))
                     : std::nullopt);
  main_->setText(qs(busy      ? L10n::text("Working…")
                    : session ? L10n::text("Continue Linking This Mac")
                              : L10n::text("Sign In and Link This Mac")));
  main_->setEnabled(!busy && model_.canVerifyEmail());

  showWhen(resendRow_, !session);
  long long seconds = secondsUntil(model_.emailResendAvailableAt(), now);
  showWhen(resend_, seconds < 1);
  resend_->setEnabled(!busy);
  showWhen(countdown_, seconds >= 1);
  if (seconds >= 1) setText(countdown_, qs(L10n::text("Resend code in %1$@s", std::to_string(seconds))));
}

void EmailVerificationPage::submit() {
  if (!model_.canVerifyEmail()) return;
  model_.verifyEmail();
}

QCoro::Task<> EmailVerificationPage::resend(QPointer<EmailVerificationPage> page, AppModel* model) {
  co_await model->sendEmailCode();
  if (page) page->focusCode();
}

}  // namespace corvane::app::ui
