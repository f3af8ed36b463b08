#include "app/ui/BrandAssets.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>

#include <cstring>

namespace corvane::app::ui {

QPixmap BrandAssets::mark(int size, const QColor& colour) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  // An open ring with a dot where it opens: the mark reads at tray size.
  double stroke = size * 0.16;
  QRectF ring(stroke / 2 + size * 0.04, stroke / 2 + size * 0.04, size - stroke - size * 0.08,
              size - stroke - size * 0.08);
  QPen pen(colour, stroke, Qt::SolidLine, Qt::RoundCap);
  painter.setPen(pen);
  painter.drawArc(ring, 40 * 16, 280 * 16);
  painter.setPen(Qt::NoPen);
  painter.setBrush(colour);
  double dot = size * 0.22;
  painter.drawEllipse(QPointF(size * 0.62, size * 0.5), dot / 2, dot / 2);
  return pixmap;
}

QIcon BrandAssets::trayIcon(bool attention, bool staging) {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    int width = staging ? size * 3 / 2 : size;
    QPixmap pixmap(width, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor ink = QApplication::palette().color(QPalette::WindowText);
    painter.drawPixmap(0, 0, mark(size, ink));
    if (attention) {
      double radius = size * 0.16;
      painter.setPen(QPen(QApplication::palette().color(QPalette::Window), size * 0.06));
      painter.setBrush(QColor(0xE0, 0x6C, 0x00));
      painter.drawEllipse(QPointF(size - radius - 1, radius + 1), radius, radius);
    }
    if (staging) {
      QFont font = painter.font();
      font.setBold(true);
      font.setPixelSize(size * 5 / 8);
      painter.setFont(font);
      painter.setPen(ink);
      painter.drawText(QRect(size, 0, width - size, size), Qt::AlignCenter, QStringLiteral("S"));
    }
    painter.end();
    icon.addPixmap(pixmap);
  }
  icon.setIsMask(true);
  return icon;
}

QIcon symbolIcon(const char* symbol) {
  struct Entry {
    const char* symbol;
    const char* theme;
    QStyle::StandardPixmap fallback;
  };
  static const Entry entries[] = {
      {"gearshape", "preferences-system", QStyle::SP_FileDialogDetailedView},
      {"questionmark.circle", "help-about", QStyle::SP_TitleBarContextHelpButton},
      {"doc.on.doc", "edit-copy", QStyle::SP_FileDialogContentsView},
      {"arrow.triangle.2.circlepath", "view-refresh", QStyle::SP_BrowserReload},
      {"lock.circle", "changes-prevent", QStyle::SP_MessageBoxWarning},
      {"laptopcomputer", "computer", QStyle::SP_ComputerIcon},
      {"pause.circle", "media-playback-pause", QStyle::SP_MediaPause},
      {"checkmark.circle.fill", "emblem-ok", QStyle::SP_DialogApplyButton},
      {"checkmark.circle", "emblem-ok", QStyle::SP_DialogApplyButton},
      {"exclamationmark.triangle", "dialog-warning", QStyle::SP_MessageBoxWarning},
      {"exclamationmark.circle", "dialog-information", QStyle::SP_MessageBoxInformation},
      {"iphone", "phone", QStyle::SP_DriveHDIcon},
      {"envelope", "mail-message", QStyle::SP_FileIcon},
      {"clock", "appointment-soon", QStyle::SP_BrowserStop},
  };
  for (const auto& entry : entries)
    if (std::strcmp(entry.symbol, symbol) == 0)
      return QIcon::fromTheme(QString::fromLatin1(entry.theme), QApplication::style()->standardIcon(entry.fallback));
  return {};
}

}  // namespace corvane::app::ui
