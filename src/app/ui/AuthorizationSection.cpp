#include "app/ui/AuthorizationSection.h"

#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QToolButton>
#include <QUrl>

#include "app/model/ConnectionDates.h"
#include "app/ui/BrandAssets.h"
#include "localization/L10n.h"

namespace corvane::app::ui {
namespace {

QVBoxLayout* stack(QWidget* widget, int spacing) {
  auto* layout = new QVBoxLayout(widget);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(spacing);
  return layout;
}

WallTime expiryOf(const Login& login) { return parseTimestamp(login.expiresAt).value_or(distantPast); }

}  // namespace

AuthorizationRow::AuthorizationRow(AppModel& model, const InterfaceServices& services, Login login, QWidget* parent)
    : QWidget(parent), model_(model), services_(services), login_(std::move(login)) {
  setObjectName(qs("authorization-request-" + login_.id));
  auto* layout = stack(this, 8);

  expired_ = new QWidget(this);
  auto* expiredLayout = stack(expired_, 6);
  auto* expiredRow = new QHBoxLayout;
  auto* clock = new QLabel(expired_);
  clock->setPixmap(symbolIcon("clock").pixmap(16, 16));
  expiredRow->addWidget(clock);
  auto* expiredTitle = new QLabel(qs(L10n::text("Authorization Code Expired")), expired_);
  expiredTitle->setObjectName("auth-expired");
  expiredRow->addWidget(expiredTitle, 1);
  expiredLayout->addLayout(expiredRow);
  expiredLayout->addWidget(secondary(
      expired_, "auth-expired-hint",
      qs(L10n::text("Check the result on your iPhone. If authorization is unfinished, start a new request there."))));
  layout->addWidget(expired_);

  unsupported_ = new InlineMessage(this, "auth-unsupported");
  layout->addWidget(unsupported_);

  actionable_ = new QWidget(this);
  actionable_->setObjectName("auth-actionable");
  auto* actions = stack(actionable_, 8);
  instruction_ = secondary(actionable_, "auth-instruction");
  actions->addWidget(instruction_);
  auto* codeRow = new QHBoxLayout;
  codeRow->setSpacing(12);
  code_ = new QLabel(actionable_);
  code_->setObjectName("auth-code");
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPixelSize(26);
  font.setWeight(QFont::DemiBold);
  code_->setFont(font);
  code_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  codeRow->addWidget(code_);
  auto* copyButton = new QPushButton(symbolIcon("doc.on.doc"), QString(), actionable_);
  copyButton->setObjectName("copy-authorization-code");
  copyButton->setToolTip(qs(L10n::text("Copy Authorization Code")));
  copyButton->setAccessibleName(qs(L10n::text("Copy Authorization Code")));
  connect(copyButton, &QPushButton::clicked, this, &AuthorizationRow::copy);
  codeRow->addWidget(copyButton);
  codeRow->addStretch();
  actions->addLayout(codeRow);
  expires_ = caption(actionable_, "auth-expires");
  actions->addWidget(expires_);
  auto* open = prominent(new QPushButton(qs(L10n::text("Copy Code and Open Official Page")), actionable_));
  open->setObjectName("auth-open");
  connect(open, &QPushButton::clicked, this, [this] {
    feedback_ = model_.authorize(login_);
    render(login_, instruction_->property("multiple").toBool(), services_.clock());
  });
  actions->addWidget(open, 0, Qt::AlignLeft);
  host_ = caption(actionable_, "auth-host");
  actions->addWidget(host_);
  feedbackLabel_ = new QLabel(actionable_);
  feedbackLabel_->setObjectName("auth-feedback");
  feedbackLabel_->setWordWrap(true);
  actions->addWidget(feedbackLabel_);
  actions->addWidget(
      secondary(actionable_, "auth-note",
                qs(L10n::text("Opening the page does not confirm authorization. Check the result on your iPhone."))));
  layout->addWidget(actionable_);
}

void AuthorizationRow::copy() {
  if (!login_.safeURL(services_.clock())) return;
  bool copied = services_.desktop && services_.desktop->copyToPasteboard(login_.userCode);
  feedback_ = copied ? L10n::text("Code Copied") : L10n::text("Could Not Copy Code");
  render(login_, instruction_->property("multiple").toBool(), services_.clock());
}

void AuthorizationRow::render(const Login& login, bool multiple, WallTime now) {
  if (login.userCode != login_.userCode) feedback_.reset();
  login_ = login;
  bool expired = expiryOf(login_) <= now;
  std::optional<std::string> official = login_.officialURL();
  showWhen(expired_, expired);
  unsupported_->show(!expired && !official ? std::optional(L10n::text("This request does not point to a supported "
                                                                      "official page. Start a new request from your "
                                                                      "iPhone."))
                                           : std::nullopt);
  showWhen(actionable_, !expired && official);
  if (expired || !official) return;
  instruction_->setProperty("multiple", multiple);
  setText(
      instruction_,
      qs(multiple ? L10n::text("Match this code to the account request on your iPhone.")
                  : L10n::text("Check the ChatGPT account on the official page and enter this authorization code.")));
  setText(code_, qs(login_.userCode));
  setText(expires_, qs(L10n::text("Expires in %1$@", ConnectionDates::remaining(expiryOf(login_), now))));
  setText(host_, QUrl(qs(*official)).host());
  setText(feedbackLabel_, feedback_ ? qs(*feedback_) : QString());
  showWhen(feedbackLabel_, feedback_.has_value());
}

AuthorizationSection::AuthorizationSection(AppModel& model, const InterfaceServices& services, QWidget* parent)
    : QWidget(parent), model_(model), services_(services) {
  setObjectName("authorization-section");
  auto* layout = stack(this, 10);
  auto* title = headline(this, "authorization-title");
  title->setText(qs(L10n::text("ChatGPT Authorization")));
  layout->addWidget(title);
  unavailable_ = secondary(this, "authorization-unavailable",
                           qs(L10n::text("Authorization request status is unavailable. Check status again or view the "
                                         "result on your iPhone.")));
  layout->addWidget(unavailable_);
  rowsBox_ = new QWidget(this);
  rows_ = stack(rowsBox_, 12);
  layout->addWidget(rowsBox_);

  none_ = new QWidget(this);
  auto* noneLayout = stack(none_, 4);
  noneLayout->addWidget(new QLabel(qs(L10n::text("No Pending Authorization Requests")), none_));
  noneLayout->addWidget(secondary(none_, "authorization-none-hint",
                                  qs(L10n::text("View account and authorization status on your iPhone."))));
  layout->addWidget(none_);
  ended_ = new QWidget(this);
  auto* endedLayout = stack(ended_, 4);
  endedTitle_ = new QLabel(ended_);
  endedTitle_->setObjectName("authorization-ended");
  endedLayout->addWidget(endedTitle_);
  endedLayout->addWidget(secondary(
      ended_, "authorization-ended-hint",
      qs(L10n::text("Check the result on your iPhone. If authorization is unfinished, start a new request there."))));
  layout->addWidget(ended_);

  auto* disclosure = new QToolButton(this);
  disclosure->setObjectName("how-to-view-result");
  disclosure->setText(qs(L10n::text("How to View the Result")));
  disclosure->setCheckable(true);
  disclosure->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  disclosure->setArrowType(Qt::RightArrow);
  disclosure->setAutoRaise(true);
  layout->addWidget(disclosure);
  auto* howTo = secondary(this, "how-to-view-result-text",
                          qs(L10n::text("Open Corvane on your iPhone and select the ChatGPT account to view its "
                                        "connection and quota. Mac background status does not confirm account "
                                        "authorization.")));
  howTo->setContentsMargins(0, 6, 0, 0);
  howTo->setVisible(false);
  layout->addWidget(howTo);
  connect(disclosure, &QToolButton::toggled, this, [disclosure, howTo](bool open) {
    disclosure->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    howTo->setVisible(open);
  });
}

void AuthorizationSection::render(WallTime now) {
  bool current = model_.statusIsCurrent();
  std::vector<Login> logins = current ? model_.pendingLogins() : std::vector<Login>{};
  showWhen(unavailable_, !current);

  std::vector<std::string> ids;
  for (const auto& login : logins) ids.push_back(login.id);
  if (ids != shownIds_) {
    // Rows that stay keep their feedback; the dividers are laid out anew.
    while (QLayoutItem* item = rows_->takeAt(0)) {
      if (auto* widget = item->widget(); widget && widget->objectName() == "authorization-divider") delete widget;
      delete item;
    }
    std::map<std::string, AuthorizationRow*> kept;
    for (const auto& login : logins) {
      auto found = byId_.find(login.id);
      AuthorizationRow* row =
          found != byId_.end() ? found->second : new AuthorizationRow(model_, services_, login, rowsBox_);
      if (found != byId_.end()) byId_.erase(found);
      kept[login.id] = row;
      if (rows_->count() > 0) {
        auto* line = new QFrame(rowsBox_);
        line->setObjectName("authorization-divider");
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Sunken);
        rows_->addWidget(line);
      }
      rows_->addWidget(row);
    }
    for (auto& [id, row] : byId_) delete row;
    byId_ = std::move(kept);
    shownIds_ = ids;
  }
  for (const auto& login : logins) byId_[login.id]->render(login, logins.size() > 1, now);
  showWhen(rowsBox_, !logins.empty());

  const auto& ended = model_.authorizationHistory().endedExpiry;
  showWhen(none_, current && logins.empty() && !ended);
  showWhen(ended_, current && logins.empty() && ended.has_value());
  if (ended)
    setText(endedTitle_, qs(*ended <= now ? L10n::text("The last authorization code has expired.")
                                          : L10n::text("The authorization request is no longer pending.")));
}

}  // namespace corvane::app::ui
