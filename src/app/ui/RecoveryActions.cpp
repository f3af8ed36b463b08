#include "app/ui/RecoveryActions.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "localization/L10n.h"

namespace corvane::app::ui {

RecoveryActions::RecoveryActions(AppModel& model, const InterfaceServices& services, QWidget* parent)
    : QWidget(parent), model_(model), services_(services) {
  setObjectName("recovery-actions");
  auto* box = this;
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(8);
  reinstallNote_ =
      secondary(box, "reinstall-note",
                qs(L10n::text("Reinstalling requires closing this app. Check any ongoing work before replacing it.")));
  layout->addWidget(reinstallNote_);
  auto* row = new QHBoxLayout;
  row->setSpacing(8);
  auto button = [&](const char* objectName, const QString& text) {
    auto* created = new QPushButton(text, box);
    created->setObjectName(objectName);
    row->addWidget(created);
    return created;
  };
  showApp_ = button("show-app", qs(L10n::text("Show App in File Manager")));
  openSettings_ = prominent(button("open-background-settings", qs(L10n::text("Open Background Settings"))));
  continueCleanup_ = button("continue-cleanup", qs(L10n::text("Start Background Service to Continue Cleanup")));
  recoveryManage_ = button("recovery-manage", qs(L10n::text("Manage This Mac…")));
  pairAgain_ = prominent(button("pair-again", qs(L10n::text("Pair Again…"))));
  checkAgain_ = button("check-status-again", qs(L10n::text("Check Status Again")));
  row->addStretch();
  layout->addLayout(row);

  QObject::connect(showApp_, &QPushButton::clicked, this, [this] {
    if (!model_.isPreview() && services_.revealApplication) services_.revealApplication();
  });
  QObject::connect(openSettings_, &QPushButton::clicked, this, [this] {
    if (!model_.isPreview() && services_.openBackgroundSettings) services_.openBackgroundSettings();
  });
  QObject::connect(continueCleanup_, &QPushButton::clicked, this, [this] { model_.start(); });
  QObject::connect(recoveryManage_, &QPushButton::clicked, this, [this] { model_.setShowingManagement(true); });
  QObject::connect(pairAgain_, &QPushButton::clicked, this, [this] { model_.prepareRepair(); });
  QObject::connect(checkAgain_, &QPushButton::clicked, this, [this] { model_.refresh(); });
}

void RecoveryActions::render() {
  const auto& snapshot = model_.snapshot();
  bool installed = model_.isInstalled();
  bool codexMissing = installed && snapshot && !snapshot->codexAvailable;
  bool full = installed && !codexMissing;
  showWhen(showApp_, !installed || codexMissing);
  showWhen(reinstallNote_, codexMissing);

  bool paired = snapshot && snapshot->paired;
  bool approval = model_.serviceStatus() == LoginItemStatus::requiresApproval;
  // At most one primary action, the first that applies.
  int primary = 0;
  if (paired && approval)
    primary = 1;
  else if (paired && !model_.registered() && (model_.signingOut() || model_.revoked()))
    primary = 2;
  else if (model_.signedIn() && !model_.registered())
    primary = 3;
  showWhen(openSettings_, full && primary == 1);
  showWhen(continueCleanup_, full && primary == 2);
  continueCleanup_->setEnabled(!model_.busy() && model_.statusIsCurrent());
  showWhen(recoveryManage_, full && primary == 3);
  bool rePairReady = model_.revoked() && snapshot && snapshot->health && snapshot->health->rePairReady.value_or(false);
  showWhen(pairAgain_, full && rePairReady);
  pairAgain_->setEnabled(model_.canPrepareRepair());
  showWhen(checkAgain_, full);
  checkAgain_->setEnabled(!model_.busy() && !model_.checking());
}

}  // namespace corvane::app::ui
