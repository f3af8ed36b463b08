#pragma once

#include "app/model/PlatformServices.h"

namespace corvane::app::ui {

// The desktop facilities of a Qt desktop session: the clipboard, the default
// browser, the file manager and a save dialog.
class DesktopServices : public Desktop {
 public:
  bool copyToPasteboard(const std::string& text) override;
  bool openURL(const std::string& url) override;
  bool revealFile(const std::filesystem::path& file) override;
  QCoro::Task<std::optional<std::filesystem::path>> chooseSaveDestination(std::string name) override;
};

}  // namespace corvane::app::ui
