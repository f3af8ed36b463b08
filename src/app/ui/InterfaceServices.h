#pragma once

#include <QImage>

#include <functional>
#include <optional>
#include <string>

#include "app/model/PlatformServices.h"
#include "app/ui/PairingQRCode.h"
#include "platform/Clock.h"

namespace corvane::app::ui {

// What the widgets use beside the model: the same desktop and clock the
// model has, and the few desktop actions the model does not perform.
struct InterfaceServices {
  Desktop* desktop = nullptr;
  std::function<platform::WallTime()> clock;
  std::function<void()> openBackgroundSettings;
  std::function<void()> revealApplication;
  std::function<std::optional<QImage>(const std::string&)> qrImage = PairingQRCode::image;
  std::function<void()> quit;
};

}  // namespace corvane::app::ui
