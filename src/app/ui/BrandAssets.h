#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

namespace corvane::app::ui {

// The brand mark and the tray icon built from it.
struct BrandAssets {
  // The mark drawn in colour at size x size pixels on a clear background.
  static QPixmap mark(int size, const QColor& colour);
  // The tray icon: the monochrome mark, an attention dot when attention
  // holds and a bold "S" for a staging build.
  static QIcon trayIcon(bool attention, bool staging);
};

// A desktop-theme icon for a symbol name the interface uses, with a bundled
// fallback when the theme has none.
QIcon symbolIcon(const char* symbol);

}  // namespace corvane::app::ui
