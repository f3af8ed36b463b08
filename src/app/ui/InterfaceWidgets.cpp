#include "app/ui/InterfaceWidgets.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLocale>
#include <QVBoxLayout>

#include "app/ui/BrandAssets.h"
#include "localization/L10n.h"

namespace corvane::app::ui {

QString displayName(const AppModel& model) {
  return model.isStaging() ? QStringLiteral("Corvane Staging") : QStringLiteral("Corvane");
}

QLabel* headline(QWidget* parent, const QString& objectName) {
  auto* label = new QLabel(parent);
  label->setObjectName(objectName);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  label->setWordWrap(true);
  return label;
}

QLabel* titleLabel(QWidget* parent, const QString& objectName) {
  auto* label = new QLabel(parent);
  label->setObjectName(objectName);
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() * 1.45);
  font.setWeight(QFont::DemiBold);
  label->setFont(font);
  return label;
}

QLabel* secondary(QWidget* parent, const QString& objectName, const QString& text) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(objectName);
  label->setWordWrap(true);
  label->setForegroundRole(QPalette::PlaceholderText);
  return label;
}

QLabel* caption(QWidget* parent, const QString& objectName) {
  auto* label = secondary(parent, objectName);
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() * 0.85);
  label->setFont(font);
  return label;
}

QPushButton* prominent(QPushButton* button) {
  button->setDefault(true);
  button->setMinimumHeight(32);
  QFont font = button->font();
  font.setBold(true);
  button->setFont(font);
  return button;
}

void showWhen(QWidget* widget, bool shown) {
  if (widget->isVisibleTo(widget->parentWidget()) != shown) widget->setVisible(shown);
}

void setText(QLabel* label, const QString& text) {
  if (label->text() != text) label->setText(text);
}

InlineMessage::InlineMessage(QWidget* parent, const QString& objectName) : QWidget(parent) {
  setObjectName(objectName);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(6);
  auto* icon = new QLabel(this);
  icon->setPixmap(symbolIcon("exclamationmark.circle").pixmap(16, 16));
  icon->setAlignment(Qt::AlignTop);
  row->addWidget(icon, 0, Qt::AlignTop);
  text_ = new QLabel(this);
  text_->setWordWrap(true);
  text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  row->addWidget(text_, 1);
  setVisible(false);
}

void InlineMessage::show(const std::optional<std::string>& text) {
  QString shown = text ? qs(*text) : QString();
  setText(text_, shown);
  setAccessibleName(shown);
  showWhen(this, text.has_value());
}

QString InlineMessage::text() const { return isVisibleTo(parentWidget()) ? text_->text() : QString(); }

ConnectionStatusView::ConnectionStatusView(QWidget* parent) : QWidget(parent) {
  setObjectName("connection-status");
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(8);
  icon_ = new QLabel(this);
  icon_->setObjectName("status-icon");
  row->addWidget(icon_, 0, Qt::AlignTop);
  auto* column = new QVBoxLayout;
  column->setSpacing(2);
  auto* titleRow = new QHBoxLayout;
  title_ = headline(this, "status-title");
  titleRow->addWidget(title_, 1);
  activity_ = new QProgressBar(this);
  activity_->setObjectName("status-activity");
  activity_->setRange(0, 0);
  activity_->setTextVisible(false);
  activity_->setFixedSize(48, 8);
  titleRow->addWidget(activity_);
  column->addLayout(titleRow);
  detail_ = secondary(this, "status-detail");
  column->addWidget(detail_);
  heartbeat_ = caption(this, "status-heartbeat");
  column->addWidget(heartbeat_);
  row->addLayout(column, 1);
}

void ConnectionStatusView::show(ConnectionState state, const std::string& detail, std::optional<WallTime> heartbeat,
                                bool working) {
  const char* symbol = "exclamationmark.triangle";
  switch (state) {
    case ConnectionState::checking:
    case ConnectionState::connecting:
      symbol = "arrow.triangle.2.circlepath";
      break;
    case ConnectionState::signingOut:
    case ConnectionState::revoked:
      symbol = "lock.circle";
      break;
    case ConnectionState::signIn:
      symbol = "laptopcomputer";
      break;
    case ConnectionState::stopped:
      symbol = "pause.circle";
      break;
    case ConnectionState::online:
      symbol = "checkmark.circle.fill";
      break;
    default:
      break;
  }
  icon_->setPixmap(symbolIcon(symbol).pixmap(22, 22));
  icon_->setProperty("symbol", QString::fromLatin1(symbol));
  setText(title_, qs(title(state)));
  activity_->setAccessibleName(qs(L10n::text("Checking…")));
  showWhen(activity_, working);
  setText(detail_, qs(detail));
  if (heartbeat) {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(heartbeat->time_since_epoch()).count();
    QDateTime time = QDateTime::fromSecsSinceEpoch(seconds).toLocalTime();
    QLocale locale;
    QString formatted =
        locale.toString(time.date(), QLocale::ShortFormat) + " " + locale.toString(time.time(), QLocale::ShortFormat);
    setText(heartbeat_, qs(L10n::text("Last confirmed online: %1$@", formatted.toStdString())));
  }
  showWhen(heartbeat_, heartbeat.has_value());
}

std::optional<WallTime> heartbeatOf(const AppModel& model) {
  const auto& snapshot = model.snapshot();
  if (!snapshot || !snapshot->health || !snapshot->health->lastHeartbeatAt) return std::nullopt;
  return parseTimestamp(*snapshot->health->lastHeartbeatAt);
}

}  // namespace corvane::app::ui
