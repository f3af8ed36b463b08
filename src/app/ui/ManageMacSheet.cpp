#include "app/ui/ManageMacSheet.h"

#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include <QDateTime>
#include <QLocale>

#include "app/ui/RecoveryActions.h"
#include "localization/AccountConnectionError.h"
#include "localization/L10n.h"

namespace corvane::app::ui {
namespace {

constexpr int longestDescription = 1000;

QFrame* line(QWidget* parent) {
  auto* frame = new QFrame(parent);
  frame->setFrameShape(QFrame::HLine);
  frame->setFrameShadow(QFrame::Sunken);
  return frame;
}

QPushButton* button(QWidget* parent, const char* objectName, const QString& text) {
  auto* created = new QPushButton(text, parent);
  created->setObjectName(objectName);
  return created;
}

}  // namespace

QString versionLine(const AppModel& model) {
  // A value the bundle lacks (or holds as something other than text) shows as "-".
  auto shown = [](const std::optional<std::string>& text) { return text ? qs(*text) : QStringLiteral("-"); };
  return displayName(model) + " " + shown(model.bundle().shortVersion) + " (" + shown(model.bundle().buildVersion) +
         ")";
}

ReportProblemDialog::ReportProblemDialog(AppModel& model, QWidget* parent) : QDialog(parent), model_(model) {
  setObjectName("report-problem");
  setWindowModality(Qt::WindowModal);
  setFixedWidth(460);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 24, 24, 24);
  layout->setSpacing(12);
  auto* title = titleLabel(this, "report-title");
  title->setText(qs(L10n::text("Report a Problem")));
  layout->addWidget(title);
  auto* intro = new QLabel(
      qs(L10n::text("Describe what happened (optional). Do not include passwords, tokens or authorization codes.")),
      this);
  intro->setWordWrap(true);
  layout->addWidget(intro);
  description_ = new QPlainTextEdit(this);
  description_->setObjectName("report-description");
  description_->setFixedHeight(100);
  layout->addWidget(description_);
  counter_ = caption(this, "report-counter");
  layout->addWidget(counter_);
  auto* note = caption(this, "report-note");
  note->setText(
      qs(L10n::text("Sending includes your description and recent sanitized diagnostics, linked to this "
                    "device for support. Reports expire on the server after 30 days. You can send a report "
                    "even when automatic diagnostics are off.")));
  layout->addWidget(note);
  error_ = new QLabel(this);
  error_->setObjectName("report-error");
  error_->setWordWrap(true);
  error_->setStyleSheet("color: #c0392b;");
  error_->setVisible(false);
  layout->addWidget(error_);
  auto* row = new QHBoxLayout;
  auto* cancel = button(this, "report-cancel", qs(L10n::text("Cancel")));
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  row->addWidget(cancel);
  row->addStretch();
  send_ = prominent(button(this, "send-report", qs(L10n::text("Send Report"))));
  connect(send_, &QPushButton::clicked, this, [this] {
    if (model_.busy() || description_->toPlainText().size() > longestDescription) return;
    send(QPointer<ReportProblemDialog>(this), &model_, description_->toPlainText().toStdString());
  });
  row->addWidget(send_);
  layout->addLayout(row);
  connect(description_, &QPlainTextEdit::textChanged, this, &ReportProblemDialog::render);
  connect(&model_, &AppModel::changed, this, &ReportProblemDialog::render);
  render();
}

void ReportProblemDialog::render() {
  // QString counts UTF-16 code units: an emoji counts as two.
  auto units = description_->toPlainText().size();
  bool over = units > longestDescription;
  setText(counter_, qs(L10n::text("%1$@ / 1000", std::to_string(units))));
  counter_->setProperty("over", over);
  counter_->setStyleSheet(over ? "color: #c0392b;" : "");
  send_->setEnabled(!model_.busy() && !over);
}

QCoro::Task<> ReportProblemDialog::send(QPointer<ReportProblemDialog> dialog, AppModel* model,
                                        std::string description) {
  std::optional<std::string> error = co_await model->reportProblem(std::move(description));
  if (!dialog) co_return;
  if (!error) {
    dialog->accept();
    co_return;
  }
  dialog->error_->setText(qs(*error));
  dialog->error_->setVisible(true);
}

ManageMacSheet::ManageMacSheet(AppModel& model, const InterfaceServices& services, QWidget* parent)
    : QDialog(parent), model_(model), services_(services) {
  setObjectName("manage-mac");
  setWindowModality(Qt::WindowModal);
  resize(460, 580);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);
  auto* scroll = new QScrollArea(this);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  auto* content = new QWidget;
  auto* layout = new QVBoxLayout(content);
  layout->setContentsMargins(24, 24, 24, 24);
  layout->setSpacing(24);
  auto* title = titleLabel(content, "manage-title");
  title->setText(qs(L10n::text("Manage This Mac")));
  layout->addWidget(title);
  status_ = new ConnectionStatusView(content);
  layout->addWidget(status_);

  auto* controls = new QHBoxLayout;
  openSettings_ = button(content, "manage-open-settings", qs(L10n::text("Open Background Settings")));
  stop_ = button(content, "stop-service", qs(L10n::text("Stop Background Service…")));
  start_ = prominent(button(content, "start-service", qs(L10n::text("Start Background Service"))));
  for (auto* control : {openSettings_, stop_, start_}) controls->addWidget(control);
  controls->addStretch();
  layout->addLayout(controls);
  recovery_ = new RecoveryActions(model_, services_, content);
  layout->addWidget(recovery_);
  message_ = new InlineMessage(content, "manage-message");
  layout->addWidget(message_);
  layout->addWidget(line(content));

  auto* account = new QVBoxLayout;
  account->setSpacing(12);
  auto* accountTitle = headline(content, "manage-account-title");
  accountTitle->setText(qs(L10n::text("Corvane Account")));
  account->addWidget(accountTitle);
  email_ = new QLabel(content);
  email_->setObjectName("manage-email");
  email_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  account->addWidget(email_);
  signOut_ = button(content, "sign-out", qs(L10n::text("Sign Out and Unlink…")));
  signOut_->setStyleSheet("color: #c0392b;");
  account->addWidget(signOut_, 0, Qt::AlignLeft);
  layout->addLayout(account);
  layout->addWidget(line(content));

  auto* disclosure = new QToolButton(content);
  disclosure->setObjectName("diagnostics-disclosure");
  disclosure->setText(qs(L10n::text("Diagnostics")));
  disclosure->setCheckable(true);
  disclosure->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  disclosure->setArrowType(Qt::RightArrow);
  disclosure->setAutoRaise(true);
  layout->addWidget(disclosure);
  auto* diagnostics = new QWidget(content);
  diagnostics->setObjectName("diagnostics");
  auto* diagnosticsLayout = new QVBoxLayout(diagnostics);
  diagnosticsLayout->setContentsMargins(0, 0, 0, 0);
  diagnosticsLayout->setSpacing(10);
  version_ = new QLabel(diagnostics);
  version_->setObjectName("version-line");
  diagnosticsLayout->addWidget(version_);
  origin_ = secondary(diagnostics, "origin");
  origin_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  diagnosticsLayout->addWidget(origin_);
  codexError_ = secondary(diagnostics, "latest-codex-error");
  diagnosticsLayout->addWidget(codexError_);
  automatic_ = new QCheckBox(qs(L10n::text("Automatically send sanitized diagnostics")), diagnostics);
  automatic_->setObjectName("automatic-diagnostics");
  diagnosticsLayout->addWidget(automatic_);
  diagnosticsLayout->addWidget(secondary(
      diagnostics, "diagnostics-note",
      qs(L10n::text("Sends error categories, timing, versions and device, account and task IDs. No email, tokens, "
                    "authorization codes or raw responses. Automatic diagnostics expire on the server after 14 "
                    "days."))));
  report_ = button(diagnostics, "report-a-problem", qs(L10n::text("Report a Problem…")));
  diagnosticsLayout->addWidget(report_, 0, Qt::AlignLeft);
  reportStatus_ = secondary(diagnostics, "report-status");
  reportStatus_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  diagnosticsLayout->addWidget(reportStatus_);
  reportId_ = caption(diagnostics, "report-id");
  reportId_->setFont([&] {
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSizeF(reportId_->font().pointSizeF());
    return fixed;
  }());
  reportId_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  diagnosticsLayout->addWidget(reportId_);
  export_ = button(diagnostics, "export-diagnostics", qs(L10n::text("Export Sanitized Diagnostics…")));
  diagnosticsLayout->addWidget(export_, 0, Qt::AlignLeft);
  feedback_ = new QLabel(diagnostics);
  feedback_->setObjectName("export-feedback");
  feedback_->setWordWrap(true);
  diagnosticsLayout->addWidget(feedback_);
  diagnostics->setVisible(false);
  layout->addWidget(diagnostics);
  connect(disclosure, &QToolButton::toggled, this, [disclosure, diagnostics](bool open) {
    disclosure->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    diagnostics->setVisible(open);
  });

  // Software updates, for the builds that have them.
  updates_ = new QWidget(content);
  updates_->setObjectName("update-settings");
  auto* updatesLayout = new QVBoxLayout(updates_);
  updatesLayout->setContentsMargins(0, 0, 0, 0);
  updatesLayout->setSpacing(10);
  updatesLayout->addWidget(line(updates_));
  auto* updatesTitle = headline(updates_, "updates-title");
  updatesTitle->setText(qs(L10n::text("Software Updates")));
  updatesLayout->addWidget(updatesTitle);
  autoCheck_ = new QCheckBox(qs(L10n::text("Automatically check for updates")), updates_);
  autoCheck_->setObjectName("automatically-check");
  updatesLayout->addWidget(autoCheck_);
  autoInstall_ = new QCheckBox(qs(L10n::text("Automatically download and install updates")), updates_);
  autoInstall_->setObjectName("automatically-install");
  updatesLayout->addWidget(autoInstall_);
  updateError_ = secondary(updates_, "update-error");
  updatesLayout->addWidget(updateError_);
  checkUpdates_ = button(updates_, "check-for-updates", qs(L10n::text("Check for Updates…")));
  updatesLayout->addWidget(checkUpdates_, 0, Qt::AlignLeft);
  layout->addWidget(updates_);
  if (MacUpdater* updater = model_.updates()) {
    connect(autoCheck_, &QCheckBox::clicked, this, [updater](bool on) { updater->setAutomaticallyChecks(on); });
    connect(autoInstall_, &QCheckBox::clicked, this, [updater](bool on) { updater->setAutomaticallyInstalls(on); });
    connect(checkUpdates_, &QPushButton::clicked, this, [updater] { updater->checkForUpdates(); });
    connect(updater, &MacUpdater::changed, this, &ManageMacSheet::render);
  }

  layout->addStretch();
  scroll->setWidget(content);
  outer->addWidget(scroll, 1);
  outer->addWidget(line(this));
  auto* bar = new QHBoxLayout;
  bar->setContentsMargins(16, 16, 16, 16);
  bar->addStretch();
  auto* done = prominent(button(this, "manage-done", qs(L10n::text("Done"))));
  connect(done, &QPushButton::clicked, this, &QDialog::accept);
  bar->addWidget(done);
  outer->addLayout(bar);

  connect(openSettings_, &QPushButton::clicked, this, [this] {
    if (!model_.isPreview() && services_.openBackgroundSettings) services_.openBackgroundSettings();
  });
  connect(start_, &QPushButton::clicked, this, [this] { model_.start(); });
  connect(stop_, &QPushButton::clicked, this, [this] {
    confirmation("confirm-stop", qs(L10n::text("Stop Background Service?")),
                 qs(L10n::text("Stopping pauses this Mac's tasks and quota sampling. Pairing and account credentials "
                               "are kept. You can start the service again here.")),
                 qs(L10n::text("Keep Running")), qs(L10n::text("Stop Background Service")), [this] { model_.stop(); });
  });
  connect(signOut_, &QPushButton::clicked, this, [this] {
    confirmation("confirm-sign-out", qs(L10n::text("Sign Out of This Mac?")),
                 qs(L10n::text("This stops execution, unlinks this Mac and removes its Corvane-managed ChatGPT "
                               "connections. Your Corvane account, subscription and regular Codex sign-in are not "
                               "deleted.")),
                 qs(L10n::text("Cancel")), qs(L10n::text("Sign Out")), [this] { model_.signOut(); });
  });
  connect(automatic_, &QCheckBox::clicked, this, [this](bool on) { model_.setAutomaticDiagnostics(on); });
  connect(report_, &QPushButton::clicked, this, [this] {
    auto* dialog = new ReportProblemDialog(model_, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
  });
  connect(export_, &QPushButton::clicked, this, [this] { exportDiagnostics(QPointer<ManageMacSheet>(this), &model_); });
  connect(&model_, &AppModel::changed, this, &ManageMacSheet::render);
  render();
}

QMessageBox* ManageMacSheet::confirmation(const char* objectName, const QString& title, const QString& text,
                                          const QString& cancel, const QString& confirm,
                                          std::function<void()> confirmed) {
  auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::NoButton, this);
  box->setObjectName(objectName);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->addButton(cancel, QMessageBox::RejectRole)->setObjectName("confirm-cancel");
  QPushButton* destructive = box->addButton(confirm, QMessageBox::DestructiveRole);
  destructive->setObjectName("confirm-destructive");
  connect(destructive, &QPushButton::clicked, this, std::move(confirmed));
  box->open();
  return box;
}

void ManageMacSheet::render() {
  const auto& snapshot = model_.snapshot();
  status_->show(model_.state(), model_.statusDetail(), heartbeatOf(model_), model_.busy() || model_.checking());
  bool controls = model_.signedIn() && model_.statusIsCurrent() && snapshot && snapshot->codexAvailable;
  bool approval = model_.serviceStatus() == LoginItemStatus::requiresApproval;
  bool idle = !model_.busy() && !model_.checking();
  showWhen(openSettings_, controls && approval);
  showWhen(stop_, controls && !approval && model_.registered());
  showWhen(start_, controls && !approval && !model_.registered());
  stop_->setEnabled(idle);
  start_->setEnabled(idle);
  showWhen(recovery_, !controls);
  if (!controls) recovery_->render();
  message_->show(model_.error() ? model_.error() : model_.statusError());

  setText(email_, snapshot && snapshot->email ? qs(*snapshot->email) : qs(L10n::text("Not Signed In")));
  showWhen(signOut_, model_.signedIn());
  signOut_->setEnabled(idle && model_.statusIsCurrent());

  setText(version_, versionLine(model_));
  setText(origin_, qs(model_.origin()));
  if (snapshot && snapshot->latestCodexError) {
    const auto& latest = *snapshot->latestCodexError;
    QDateTime recorded = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(latest.recordedAt)).toLocalTime();
    QLocale locale;
    QString when = locale.toString(recorded.date(), QLocale::ShortFormat) + " " +
                   locale.toString(recorded.time(), QLocale::ShortFormat);
    setText(codexError_, qs(L10n::text("Most recent Codex error (%1$@)", when.toStdString())) + "\n" +
                             qs(AccountConnectionError::message(latest.code)));
  } else {
    setText(codexError_, qs(L10n::text("No recent Codex errors recorded.")));
  }
  bool enabled = !snapshot || !snapshot->supportDiagnostics || snapshot->supportDiagnostics->enabled;
  automatic_->setChecked(enabled);
  automatic_->setEnabled(!model_.busy() && model_.signedIn());
  report_->setEnabled(!model_.busy() && model_.signedIn());
  export_->setEnabled(!model_.busy());
  QString status;
  QString supportNumber;
  if (snapshot && snapshot->supportDiagnostics && snapshot->supportDiagnostics->reportStatus) {
    const auto& diagnostics = *snapshot->supportDiagnostics;
    if (*diagnostics.reportStatus == "pending")
      status =
          qs(L10n::text("Report saved on this Mac. It will retry while Corvane runs and the connection is "
                        "available, for up to 7 days."));
    else if (*diagnostics.reportStatus == "submitted" && diagnostics.reportId) {
      status = qs(L10n::text("Report submitted. Share this support number with us:"));
      supportNumber = qs(*diagnostics.reportId);
    } else if (*diagnostics.reportStatus == "failed")
      status = qs(L10n::text("The report could not be submitted. Try reporting again or export diagnostics."));
  }
  setText(reportStatus_, status);
  showWhen(reportStatus_, !status.isEmpty());
  setText(reportId_, supportNumber);
  showWhen(reportId_, !supportNumber.isEmpty());
  setText(feedback_, exportFeedback_ ? qs(*exportFeedback_) : QString());
  showWhen(feedback_, exportFeedback_.has_value());

  MacUpdater* updater = model_.updates();
  showWhen(updates_, updater && updater->available());
  if (updater && updater->available()) {
    autoCheck_->setChecked(updater->automaticallyChecks());
    autoInstall_->setChecked(updater->automaticallyInstalls());
    setText(updateError_, updater->error() ? qs(*updater->error()) : QString());
    showWhen(updateError_, updater->error().has_value());
    checkUpdates_->setEnabled(updater->canCheck());
  }
}

QCoro::Task<> ManageMacSheet::exportDiagnostics(QPointer<ManageMacSheet> sheet, AppModel* model) {
  std::optional<std::string> result = co_await model->exportDiagnostics();
  if (!sheet) co_return;
  sheet->exportFeedback_ = result;
  sheet->render();
}

}  // namespace corvane::app::ui
