#include "app/ui/CorvaneMenuBar.h"

#include <QApplication>

#include "app/ui/BrandAssets.h"
#include "localization/L10n.h"

namespace corvane::app::ui {

CorvaneMenuBar::CorvaneMenuBar(AppModel& model, InterfaceServices services, bool trayAvailable, QObject* parent)
    : QObject(parent), model_(model), services_(std::move(services)), trayAvailable_(trayAvailable) {
  menu_.setObjectName("tray-menu");
  heading_ = menu_.addAction(QString());
  heading_->setObjectName("menu-heading");
  heading_->setEnabled(false);
  open_ = menu_.addAction(qs(L10n::text("Open Corvane…")));
  open_->setObjectName("menu-open");
  allowBackground_ = menu_.addAction(qs(L10n::text("Allow Background Activity…")));
  allowBackground_->setObjectName("menu-allow-background");
  viewAuthorization_ = menu_.addAction(qs(L10n::text("View ChatGPT Authorization…")));
  viewAuthorization_->setObjectName("menu-view-authorization");
  manage_ = menu_.addAction(qs(L10n::text("Manage This Mac…")));
  manage_->setObjectName("menu-manage");
  menu_.addSeparator();
  checkUpdates_ = menu_.addAction(qs(L10n::text("Check for Updates…")));
  checkUpdates_->setObjectName("menu-check-updates");
  quitDetail_ = menu_.addAction(QString());
  quitDetail_->setObjectName("menu-quit-detail");
  quitDetail_->setEnabled(false);
  quit_ = menu_.addAction(qs(L10n::text("Quit Corvane Interface")));
  quit_->setObjectName("menu-quit");
  quit_->setShortcut(QKeySequence::Quit);

  window_ = std::make_unique<ConnectionWindow>(model_, services_);
  window_->setTrayMissing(!trayAvailable_);

  connect(open_, &QAction::triggered, this, &CorvaneMenuBar::openConnectionWindow);
  connect(allowBackground_, &QAction::triggered, this, [this] {
    if (!model_.isPreview() && services_.openBackgroundSettings) services_.openBackgroundSettings();
  });
  connect(viewAuthorization_, &QAction::triggered, this, &CorvaneMenuBar::openConnectionWindow);
  connect(manage_, &QAction::triggered, this, [this] {
    model_.setShowingManagement(true);
    openConnectionWindow();
  });
  connect(checkUpdates_, &QAction::triggered, this, [this] {
    if (model_.updates()) model_.updates()->checkForUpdates();
  });
  connect(quit_, &QAction::triggered, this, [this] {
    if (services_.quit) services_.quit();
  });
  connect(&model_, &AppModel::changed, this, &CorvaneMenuBar::render);
  if (model_.updates()) connect(model_.updates(), &MacUpdater::changed, this, &CorvaneMenuBar::render);
  connect(&tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    // A click on the item itself opens the window; the menu has the rest.
    if (reason == QSystemTrayIcon::Trigger) openConnectionWindow();
  });

  tray_.setContextMenu(&menu_);
  render();
  if (trayAvailable_)
    tray_.show();
  else
    openConnectionWindow();
}

CorvaneMenuBar::~CorvaneMenuBar() { tray_.hide(); }

void CorvaneMenuBar::openConnectionWindow() { window_->present(); }

void CorvaneMenuBar::render() {
  QString heading = displayName(model_) + QStringLiteral(" · ") + qs(title(model_.state()));
  heading_->setText(heading);
  tray_.setToolTip(heading);
  allowBackground_->setVisible(model_.serviceStatus() == LoginItemStatus::requiresApproval);
  viewAuthorization_->setVisible(model_.signedIn() && !model_.pendingLogins().empty());
  manage_->setEnabled(model_.snapshot().has_value());
  MacUpdater* updates = model_.updates();
  checkUpdates_->setVisible(updates && updates->available());
  checkUpdates_->setEnabled(updates && updates->canCheck());
  quitDetail_->setText(qs(model_.quitDetail()));

  ConnectionState state = model_.state();
  bool quietState = state == ConnectionState::online || state == ConnectionState::checking ||
                    state == ConnectionState::connecting || state == ConnectionState::signIn;
  attention_ = !quietState || (model_.signedIn() && !model_.pendingLogins().empty());
  std::pair<bool, bool> look{attention_, model_.isStaging()};
  if (shownIcon_ != look) {
    shownIcon_ = look;
    tray_.setIcon(BrandAssets::trayIcon(look.first, look.second));
  }
}

}  // namespace corvane::app::ui
